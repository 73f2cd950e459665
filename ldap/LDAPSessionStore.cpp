#include "ldap/LDAPSessionStore.h"

#include <strings.h>

#include <cctype>
#include <cstring>

namespace {

// True when `name` starts with `prefix`.
bool StartsWith(const char* name, const char* prefix) {
  return std::strncmp(name, prefix, std::strlen(prefix)) == 0;
}

// Appends to `row` a field per session variable under `prefix`; returns how
// many there were.
int LoadFields(WebContext& context, LDAPRow& row, const char* prefix) {
  const size_t skip = std::strlen(prefix);
  int count = 0;
  for (WebSessionVar* var : context.session_vars) {
    const char* name = var->name;
    if (!StartsWith(name, prefix)) continue;
    row.Field(name + skip, "%s", static_cast<char*>(var->value));
    ++count;
  }
  return count;
}

// True when `name` belongs to a table row saved under `prefix`: the prefix,
// a row number and a dot.
bool IsRowVariable(const char* name, const char* prefix) {
  if (!StartsWith(name, prefix)) return false;
  const char* p = name + std::strlen(prefix);
  if (!std::isdigit(static_cast<unsigned char>(*p))) return false;
  while (std::isdigit(static_cast<unsigned char>(*p))) ++p;
  return *p == '.';
}

// Removes and deletes (the list owns them) every session variable whose name
// `matches`.
template <typename Match>
void RemoveVariables(WebContext& context, Match matches) {
  context.session_vars.RemoveIf([&matches](WebSessionVar* var) {
    return matches(static_cast<char*>(var->name));
  });
}

// Sets `prefix` + field name to each field's value.
void SaveFields(WebContext& context, LDAPRow& row, const char* prefix) {
  for (LDAPField* f : row.fields) {
    context.SetWebSessionVar(UString(prefix) + f->name, f->value);
  }
}

// "<prefix><n>.", the prefix of row `n` of a table.
UString RowPrefix(const char* prefix, int n) {
  UString row_prefix;
  row_prefix.Format("%s%d.", prefix, n);
  return row_prefix;
}

// The value of the leading "cn=" component of the distinguished name `dn`,
// backslash escapes of single characters undone; "" when it does not start
// with "cn=".
UString LeadingCN(const char* dn) {
  UString cn;
  if (strncasecmp(dn, "cn=", 3) != 0) return cn;
  for (const char* p = dn + 3; *p != '\0' && *p != ',' && *p != '+'; ++p) {
    if (*p == '\\' && p[1] != '\0') ++p;
    cn += *p;
  }
  return cn;
}

}  // namespace

void LoadSession(WebContext& context, LDAPRow& row, const char* prefix) {
  LoadFields(context, row, prefix);
}

void SaveSession(WebContext& context, LDAPRow& row, const char* prefix) {
  RemoveVariables(
      context, [prefix](const char* name) { return StartsWith(name, prefix); });
  SaveFields(context, row, prefix);
}

void LoadSession(WebContext& context, LDAPTable& table, const char* prefix) {
  for (int n = 0;; ++n) {
    LDAPRow row;
    if (LoadFields(context, row, RowPrefix(prefix, n)) == 0) return;
    table += row;
  }
}

void SaveSession(WebContext& context, LDAPTable& table, const char* prefix) {
  // Rows saved before, also beyond this table's end, go; other variables
  // that merely begin with the prefix stay.
  RemoveVariables(context, [prefix](const char* name) {
    return IsRowVariable(name, prefix);
  });
  for (int n = 0; n < table.GetRowCount(); ++n) {
    SaveFields(context, table.Get(n), RowPrefix(prefix, n));
  }
}

void Delete(LDAPSession* session, const char* format, ...) {
  UString dn;
  va_list args;
  va_start(args, format);
  dn.vFormat(format, args);
  va_end(args);
  if (session == nullptr || session->Delete(dn) != 0) {
    throw "Failed to delete object on server";
  }
}

void Modify(WebContext& context, LDAPSession* session, const char* key,
            const char* format, ...) {
  UString dn;
  va_list args;
  va_start(args, format);
  dn.vFormat(format, args);
  va_end(args);
  if (session == nullptr) throw "Failed to update object on server";

  LDAPRow row;
  LoadFields(context, row, key);
  row.Field("dn", "%s", static_cast<char*>(dn));
  session->res = 0;  // a failure of an earlier operation is not this one's
  if (row.Modify(*session) != 0) throw "Failed to update object on server";
  if (row.Has("cn") && row.Get("cn").value != LeadingCN(dn) &&
      row.ModifyCN(*session) != 0) {
    throw "Failed to rename object on server";
  }
}
