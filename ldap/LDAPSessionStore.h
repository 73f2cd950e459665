// Directory-backed session helpers: moving a request's session variables to
// and from directory rows, and deleting or updating a directory entry with a
// thrown text on failure.
//
// A row is kept in the session as one variable per field, named by a prefix
// and the field name ("user.cn"); a table as one such group per row, with
// the prefix followed by the row number from 0 and a dot ("users0.cn",
// "users1.cn"). Single-threaded, like the request context.
#ifndef LDAP_LDAPSESSIONSTORE_H_
#define LDAP_LDAPSESSIONSTORE_H_

#include "cgiFramework/WebContext.h"
#include "ldap/LDAPSession.h"
#include "ldap/LDAPTable.h"

// Sets in `row` a field for every session variable whose name starts with
// `prefix`, named by the rest of the variable's name.
void LoadSession(WebContext& context, LDAPRow& row, const char* prefix);
// Removes every session variable whose name starts with `prefix`, then sets
// `prefix` + field name to each field's value.
void SaveSession(WebContext& context, LDAPRow& row, const char* prefix);
// Appends to `table` one row per group "<prefix><n>." of session variables,
// n counting from 0 up to the first number without variables.
void LoadSession(WebContext& context, LDAPTable& table, const char* prefix);
// Removes every session variable of a row saved under `prefix` before (named
// "<prefix><n>." and a field name, whatever n), then saves each row under
// "<prefix><n>." with n its position. Other variables beginning with
// `prefix` are kept.
void SaveSession(WebContext& context, LDAPTable& table, const char* prefix);

// Deletes the entry whose name is formatted from `format`. Throws "Failed to
// delete object on server" when that fails or `session` is null.
void Delete(LDAPSession* session, const char* format, ...)
    __attribute__((format(printf, 2, 3)));
// Writes the session variables under `key` (as LoadSession reads them) back
// to the entry whose name is formatted from `format`: the row's fields are
// written as LDAPRow::Modify writes them, and when the row has a "cn" field
// that differs from the name's leading "cn=" value, the entry is renamed
// (LDAPRow::ModifyCN). Throws "Failed to update object on server" or "Failed
// to rename object on server" (also for a null `session`).
void Modify(WebContext& context, LDAPSession* session, const char* key,
            const char* format, ...) __attribute__((format(printf, 4, 5)));

#endif  // LDAP_LDAPSESSIONSTORE_H_
