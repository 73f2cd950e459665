#include "ldap/LDAPTable.h"

#include <strings.h>

#include <cstdlib>
#include <cstring>
#include <memory>

#include "kernel/OSConsole.h"
#include "ldap/LDAPSession.h"

namespace {

// `value` escaped for use as the value of a distinguished-name component:
// the characters that would end or extend the component, a leading "#" or
// blank and a trailing blank get a backslash.
UString DNValue(const char* value) {
  UString out;
  const size_t n = std::strlen(value);
  for (size_t i = 0; i < n; ++i) {
    const char c = value[i];
    const bool special = std::strchr(",+\"\\<>;=", c) != nullptr ||
                         (i == 0 && (c == '#' || c == ' ')) ||
                         (i == n - 1 && c == ' ');
    if (special) out += '\\';
    out += c;
  }
  return out;
}

// True when `a` and `b` name the same attribute (names ignore case).
bool SameAttribute(const char* a, const char* b) {
  return strcasecmp(a, b) == 0;
}

// Appends the client's current entry to `row`: "dn", then its pairs.
void AppendEntry(LDAPRow& row, LDAPClient* client) {
  row.fields.Append(new LDAPField("dn", client->CurrentObject()));
  char* a = nullptr;
  char* v = nullptr;
  for (int more = client->FirstAttribute(a, v); more;
       more = client->NextAttribute(a, v)) {
    LDAPField* field = new LDAPField(a, v);
    if (client->result->HasMoreValues(a)) {
      field->partial = true;
      field->fetched = v;
    }
    row.fields.Append(field);
  }
}

// True when `client` exists and holds a current entry.
bool HasEntry(LDAPSession& s) {
  return s.ldap_client != nullptr && s.ldap_client->result != nullptr;
}

// The shared placeholders for missing fields and rows.
LDAPField& EmptyField() {
  static LDAPField empty;
  return empty;
}

LDAPRow& EmptyRow() {
  static LDAPRow* empty = new LDAPRow;
  return *empty;
}

}  // namespace

// ------------------------------------------------------------------ LDAPField

LDAPField::LDAPField(const char* Aname, const char* Avalue)
    : name(Aname), value(Avalue) {}

LDAPField::LDAPField(const LDAPField& src) : OSListObj() { *this = src; }

LDAPField& LDAPField::operator=(const LDAPField& src) {
  name = src.name;
  value = src.value;
  link = src.link;
  local = src.local;
  partial = src.partial;
  fetched = src.fetched;
  return *this;
}

bool LDAPField::IsKey(char* key) { return name == key; }

LDAPField::operator bool() { return value == "1"; }

LDAPField::operator int() {
  return static_cast<int>(std::strtol(value, nullptr, 10));
}

// -------------------------------------------------------------------- LDAPRow

LDAPRow::LDAPRow() : fields(1) {}

LDAPRow::LDAPRow(const LDAPRow& src) : OSListObj(), fields(1) { *this = src; }

LDAPRow::~LDAPRow() = default;

LDAPRow& LDAPRow::operator=(const LDAPRow& src) {
  if (this == &src) return *this;
  fields.Flush();
  for (const LDAPField* f : src.fields) {
    fields.Append(new LDAPField(*f));
  }
  return *this;
}

LDAPField* LDAPRow::Find(const char* name) {
  for (LDAPField* f : fields) {
    if (f->name == name) return f;
  }
  return nullptr;
}

LDAPField& LDAPRow::Get(const char* name) {
  if (LDAPField* f = Find(name)) return *f;
  LDAPField& empty = EmptyField();
  if (!empty.value.IsEmpty()) {
    Console->Warning("LDAPRow Empty value has been changed to %s",
                     static_cast<char*>(empty.value));
  }
  empty = LDAPField();
  return empty;
}

bool LDAPRow::Has(const char* name) { return Find(name) != nullptr; }

void LDAPRow::Rename(const char* name, const char* newname) {
  const UString old_name(name);  // `name` may be one of the fields' own names
  for (LDAPField* f : fields) {
    if (f->name == old_name) f->name = newname;
  }
}

LDAPField* LDAPRow::Field(const char* name, const char* value, ...) {
  LDAPField* f = Find(name);
  if (f == nullptr) {
    f = new LDAPField(name, "");
    fields.Append(f);
  }
  va_list args;
  va_start(args, value);
  f->value.vFormat(value, args);
  va_end(args);
  return f;
}

int LDAPRow::Fetch(LDAPSession& s) {
  if (HasEntry(s)) AppendEntry(*this, s.ldap_client);
  return s.res;
}

UString LDAPRow::Address() {
  LDAPField* guid = Find("GUID");
  if (guid != nullptr && !guid->value.IsEmpty()) {
    return UString("GUID=") + DNValue(guid->value);
  }
  LDAPField* dn = Find("dn");
  return dn != nullptr ? dn->value : UString();
}

int LDAPRow::Write(LDAPSession& s, bool modify) {
  std::unique_ptr<LDAPMod[]> mods(new LDAPMod[fields.Size() + 1]);
  int count = 0;
  for (LDAPField* f : fields) {
    const char* name = f->name;
    if (f->local || SameAttribute(name, "dn") || SameAttribute(name, "cn") ||
        SameAttribute(name, "GUID") ||
        (modify && SameAttribute(name, "objectclass")) || name[0] == '_' ||
        Has(UString("_") + name) || (f->partial && f->value == f->fetched)) {
      continue;
    }
    mods[count++].Set(name, f->value);
  }
  if (count == 0) return 0;
  if (modify) {
    s.res = s.Modify(Address(), mods.get());
  } else {
    s.res = s.Add(Find("dn")->value, mods.get());
  }
  return s.res;
}

int LDAPRow::Modify(LDAPSession& s) {
  if (s.ldap_client == nullptr) return -1;
  if (Address().IsEmpty()) return s.res;
  Write(s, true);
  return s.res;
}

int LDAPRow::Add(LDAPSession& s) {
  if (s.ldap_client == nullptr) return -1;
  LDAPField* dn = Find("dn");
  if (dn == nullptr || dn->value.IsEmpty()) return 0;
  return Write(s, false);
}

int LDAPRow::Delete(LDAPSession& s) {
  if (s.ldap_client == nullptr) return -1;
  const UString address = Address();
  if (address.IsEmpty()) return s.res;
  s.res = s.Delete(address);
  return s.res;
}

int LDAPRow::ModifyCN(LDAPSession& s) {
  if (s.ldap_client == nullptr) return -1;
  const UString address = Address();
  if (!Has("dn") || address.IsEmpty()) return s.res;
  s.res = s.ModRDN(address, UString("cn=") + DNValue(Get("cn").value));
  return s.res;
}

void LDAPRow::Flush() { fields.Flush(); }

void LDAPRow::Print() {
  Console->Print("LDAPRow attributes=%d", fields.Size());
  for (LDAPField* f : fields) {
    Console->Print("    name=%s\tvalue=%s", static_cast<char*>(f->name),
                   static_cast<char*>(f->value));
  }
}

// ------------------------------------------------------------------ LDAPTable

LDAPTable::LDAPTable() : rows(1) {}

LDAPTable::LDAPTable(const LDAPTable& src) : OSListObj(), rows(1) {
  *this += src;
}

LDAPTable::~LDAPTable() = default;

LDAPTable& LDAPTable::operator=(const LDAPTable& src) {
  if (this == &src) return *this;
  rows.Flush();
  return *this += src;
}

LDAPTable& LDAPTable::operator+=(const LDAPRow& row) {
  rows.Append(new LDAPRow(row));
  return *this;
}

LDAPTable& LDAPTable::operator+=(const LDAPTable& table) {
  // Counted first, so that adding a table to itself copies each row once.
  int count = table.rows.Size();
  for (const LDAPRow* row : table.rows) {
    if (count-- == 0) break;
    *this += *row;
  }
  return *this;
}

int LDAPTable::GetRowCount() { return rows.Size(); }

LDAPRow& LDAPTable::Get(int i) {
  if (LDAPRow* row = rows.At(i)) return *row;
  LDAPRow& empty = EmptyRow();
  empty.Flush();
  return empty;
}

void LDAPTable::Fetch(LDAPSession& s, bool isUp, bool unique) {
  if (!HasEntry(s)) return;
  LDAPClient* client = s.ldap_client;
  int error_code = 0;
  int fetched = 0;
  do {
    if (fetched++ == kMaxFetchedRows) {
      Console->Warning("LDAPTable: more than %d entries, the rest discarded",
                       kMaxFetchedRows);
      break;
    }
    std::unique_ptr<LDAPRow> row(new LDAPRow);
    AppendEntry(*row, client);
    if (unique && Find("dn", row->Get("dn")) != nullptr) continue;
    if (isUp) {
      rows.Append(row.release());
    } else {
      rows.Insert(row.release());
    }
  } while (client->GetNextEntry(error_code, 0) == 1);
  client->Flush();
}

LDAPRow* LDAPTable::Find(const char* attr, const char* value) {
  for (LDAPRow* row : rows) {
    if (row->Has(attr) && row->Get(attr).value == value) return row;
  }
  return nullptr;
}

void LDAPTable::Sort(const char* orderBy) {
  if (rows.Size() < 2 || orderBy == nullptr || *orderBy == '\0') return;
  bool descending = true;
  int order = LDAPIndexObj::kNumber;
  const char* name = orderBy;
  if (*name == '+') {
    descending = false;
    ++name;
  }
  if (*name == '-') {
    descending = true;
    ++name;
  }
  if (*name == '$') {
    order = LDAPIndexObj::kText;
    ++name;
  }
  if (*name == ':') {
    order = LDAPIndexObj::kTimeStamp;
    ++name;
  }

  rows.SortBy(&LDAPIndexObj::r, [name, order, descending](LDAPRow* row) {
    return new LDAPIndexObj(row, row->Get(name).value, order, descending);
  });
}

void LDAPTable::Rename(const char* name, const char* newname) {
  for (LDAPRow* row : rows) row->Rename(name, newname);
}

int LDAPTable::Modify(LDAPSession& s) {
  for (LDAPRow* row : rows) row->Modify(s);
  return s.res;
}

int LDAPTable::Delete(LDAPSession& s) {
  for (LDAPRow* row : rows) row->Delete(s);
  return s.res;
}

int LDAPTable::Add(LDAPSession& s) {
  for (LDAPRow* row : rows) row->Add(s);
  return s.res;
}

void LDAPTable::Flush() { rows.Flush(); }

void LDAPTable::Print() {
  Console->Print("LDAPTable rows=%d", rows.Size());
  for (LDAPRow* row : rows) row->Print();
}

// --------------------------------------------------------------- LDAPIndexObj

namespace {

// Reads a decimal number at `p`, moving `p` past it; 0 when there is none.
int ReadNumber(const char*& p) {
  char* after = nullptr;
  const long n = std::strtol(p, &after, 10);
  if (after == p) return 0;
  p = after;
  return static_cast<int>(n);
}

// Three-way comparison: -1, 0 or 1.
template <typename T>
int Sign(T a, T b) {
  return (a > b) - (a < b);
}

}  // namespace

LDAPIndexObj::LDAPIndexObj(LDAPRow* Ar, const char* Avalue, int AnumericalOrder,
                           bool AdescendingOrder)
    : r(Ar),
      value(Avalue),
      nvalue(std::strtol(value, nullptr, 10)),
      numericalOrder(AnumericalOrder),
      descendingOrder(AdescendingOrder),
      hour(0),
      minute(0),
      day(0),
      month(0),
      year(0) {
  if (numericalOrder != kTimeStamp) return;
  // "hour:minute day/month/year", the year optional.
  const char* p = value;
  hour = ReadNumber(p);
  if (*p != ':') return;
  ++p;
  minute = ReadNumber(p);
  while (*p == ' ') ++p;
  day = ReadNumber(p);
  if (*p != '/') return;
  ++p;
  month = ReadNumber(p);
  if (*p != '/') return;
  ++p;
  year = ReadNumber(p);
}

int LDAPIndexObj::Compare(OSBTreeObj* other) {
  const LDAPIndexObj* o = static_cast<LDAPIndexObj*>(other);
  int c = 0;
  if (numericalOrder == kText) {
    c = strcasecmp(o->value, value);
  } else if (numericalOrder == kNumber) {
    c = Sign(o->nvalue, nvalue);
  } else {
    // Positive when this key is the earlier one.
    const int parts[5] = {year, month, day, hour, minute};
    const int others[5] = {o->year, o->month, o->day, o->hour, o->minute};
    for (int i = 0; i < 5 && c == 0; ++i) c = Sign(others[i], parts[i]);
  }
  return descendingOrder ? c : -c;
}

int LDAPIndexObj::CompareLeft(OSBTreeObj* other) { return Compare(other); }

int LDAPIndexObj::CompareAmbiguous(OSBTreeObj* other, int /*len*/) {
  return Compare(other);
}

int LDAPIndexObj::CompareMaxLen() { return 0; }
