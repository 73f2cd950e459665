// Directory entries held in memory: a row (LDAPRow) is the list of an
// entry's name/value fields (LDAPField), a table (LDAPTable) a list of rows.
// Rows are read from a session's current search and can write themselves
// back (modify, add, delete, rename); tables read a whole search and sort
// their rows by one field.
//
// Entries are addressed by "GUID=<value>" when the row has a "GUID" field,
// else by the distinguished name in its "dn" field. Values placed into a
// name ("GUID=", "cn=") are escaped as distinguished-name values, so a
// comma or plus sign in them cannot address another entry.
//
// Lookups never fail: a missing field or row is a shared empty placeholder,
// emptied each time it is handed out, so that nothing a caller wrote into it
// reaches a later lookup. Rows and tables belong to one thread at a time; the
// placeholders are shared by all.
#ifndef LDAP_LDAPTABLE_H_
#define LDAP_LDAPTABLE_H_

#include "common/UString.h"
#include "kernel/OSBTree.h"
#include "kernel/OSList.h"
#include "kernel/OSTypedList.h"

class LDAPSession;

class LDAPField : public OSListObj {
 public:
  LDAPField() = default;
  LDAPField(const char* Aname, const char* Avalue);
  LDAPField(const LDAPField& src);
  LDAPField& operator=(const LDAPField& src);

  // True when `key` equals `name` exactly.
  bool IsKey(char* key) override;

  // The value text.
  operator char*() { return value; }
  // True when the value is exactly "1".
  operator bool();
  // The value as a decimal number; 0 when it is not a number.
  operator int();

  UString name;
  UString value;
  UString link;          // for callers; unused by rows and tables
  bool local = false;    // the program's own field, never written to the
                         // directory
  bool partial = false;  // read from an attribute with several values, of
                         // which `value` holds the first
  UString fetched;       // the value as read, for a partial field: while the
                         // value is unchanged the field is not written back,
                         // so the attribute's other values are kept
};

class LDAPRow : public OSListObj {
 public:
  LDAPRow();
  LDAPRow(const LDAPRow& src);
  ~LDAPRow() override;
  // Discards the fields and copies every field of `src`.
  LDAPRow& operator=(const LDAPRow& src);

  // The first field called `name`, or the shared empty field. Whatever a
  // caller wrote into the empty field is dropped before it is handed out
  // again; a value is reported with the warning "LDAPRow Empty value has
  // been changed to %s".
  LDAPField& Get(const char* name);
  LDAPField& operator[](const char* name) { return Get(name); }
  bool Has(const char* name);
  // Renames every field called `name`.
  void Rename(const char* name, const char* newname);
  // Sets the value of the field `name` (appended when missing) from the
  // printf-style `value` and arguments; returns the field.
  LDAPField* Field(const char* name, const char* value, ...)
      __attribute__((format(printf, 3, 4)));

  // Appends the session's current entry: "dn" with its name, then one field
  // per name/value pair. Does nothing without a client or current entry and
  // does not move to the next entry. Returns s.res.
  int Fetch(LDAPSession& s);

  // Write the row back through `s`. Modify and Add send one replace
  // modification per field, except fields that are local, named "dn", "cn"
  // or "GUID" (Modify: also "objectclass"; names compared regardless of
  // case, as the directory does), starting with "_", or held back by a
  // companion field "_<name>"; nothing is sent when no field is left.
  // A field holding the first of several values read from the directory is
  // written only when its value was changed, so the other values are kept.
  // Modify, Delete and ModifyCN address the entry as described above and
  // send nothing when neither "GUID" nor "dn" has a value; ModifyCN renames
  // it to "cn=<cn>", and only when the row has a "dn" field. Add creates the
  // entry named by "dn" (nothing when empty).
  // Modify, Delete and ModifyCN store the result in s.res and return s.res;
  // Add stores it and returns it (0 when nothing was sent). All return -1
  // and send nothing when the session has no client.
  int Modify(LDAPSession& s);
  int Add(LDAPSession& s);
  int Delete(LDAPSession& s);
  int ModifyCN(LDAPSession& s);

  // Discards all fields.
  void Flush();
  // Prints "LDAPRow attributes=%d", then "    name=%s\tvalue=%s" per field.
  void Print();

  OSTypedList<LDAPField> fields;  // in the order added; owned

 private:
  // The first field called `name`, or null.
  LDAPField* Find(const char* name);
  // Sends the selected fields as Modify (`modify` true) or Add.
  int Write(LDAPSession& s, bool modify);
  // "GUID=<GUID>" or the "dn" value, as Modify and Delete address the
  // entry; "" when neither has a value.
  UString Address();
};

class LDAPTable : public OSListObj {
 public:
  // Most entries one Fetch reads into rows.
  static constexpr int kMaxFetchedRows = 10000;

  LDAPTable();
  LDAPTable(const LDAPTable& src);
  ~LDAPTable() override;
  // Discards the rows and appends copies of all rows of `src`.
  LDAPTable& operator=(const LDAPTable& src);
  // Appends a copy of `row`, or copies of all rows of `table`.
  LDAPTable& operator+=(const LDAPRow& row);
  LDAPTable& operator+=(const LDAPTable& table);

  int GetRowCount();
  // The row at position `i` (from 0), or the shared empty row (emptied of
  // any fields a caller added to it).
  LDAPRow& Get(int i);
  LDAPRow& operator[](int i) { return Get(i); }

  // Reads every remaining entry of the session's current search into rows
  // ("dn" and the pairs), appended (`isUp`) or inserted at the front; with
  // `unique`, an entry whose "dn" is already in the table is skipped. An
  // entry without attributes becomes a row holding only its "dn". Reads to
  // the end of the search (or its failure). After kMaxFetchedRows entries
  // the rest of the search is discarded with the warning "LDAPTable: more
  // than %d entries, the rest discarded".
  void Fetch(LDAPSession& s, bool isUp, bool unique);
  // The first row whose first field `attr` has the value `value`, or null.
  LDAPRow* Find(const char* attr, const char* value);
  // Reorders the rows by the field named in `orderBy`, after optional
  // prefixes in this order: "+" ascending or "-" descending (the default),
  // "$" text keys (case ignored) or ":" time stamps ("hh:mm dd/mm[/yyyy]"),
  // numbers by default. Rows with equal keys come back as the first of them,
  // then the others from the last to the second. Does nothing for fewer than
  // two rows or an empty `orderBy`.
  void Sort(const char* orderBy);

  // The row operations applied to every row in order; Modify, Delete and
  // Add return s.res afterwards.
  void Rename(const char* name, const char* newname);
  int Modify(LDAPSession& s);
  int Delete(LDAPSession& s);
  int Add(LDAPSession& s);

  // Discards all rows.
  void Flush();
  // Prints "LDAPTable rows=%d", then each row.
  void Print();

  OSTypedList<LDAPRow> rows;  // owned
};

// A sort key of LDAPTable::Sort: one row and its key, held in an OSBTree.
// Compare orders larger numbers, later texts and later time stamps first
// (descendingOrder), or the reverse.
class LDAPIndexObj : public OSBTreeObj {
 public:
  enum Order { kText = 0, kNumber = 1, kTimeStamp = 2 };

  LDAPIndexObj(LDAPRow* Ar, const char* Avalue, int AnumericalOrder,
               bool AdescendingOrder);

  int Compare(OSBTreeObj* other) override;
  int CompareLeft(OSBTreeObj* other) override;
  int CompareAmbiguous(OSBTreeObj* other, int len) override;
  int CompareMaxLen() override;

  LDAPRow* r;          // the row; not owned
  UString value;       // the key text
  long nvalue;         // the key as a decimal number
  int numericalOrder;  // kText, kNumber or kTimeStamp
  bool descendingOrder;
  int hour, minute, day, month, year;  // a time-stamp key's parts; 0 when
                                       // missing
};

#endif  // LDAP_LDAPTABLE_H_
