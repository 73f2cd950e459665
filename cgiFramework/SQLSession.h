// One connection to the portal's MySQL server, and the helpers that turn
// request data into statements and failures into error texts.
//
// A root session owns its connection from construction to destruction; a
// child session borrows the connection of another session and never closes
// it, so statements of one request can run on short-lived children of the
// request's root. A child must not outlive the session it borrows from.
//
// Single-threaded: a session, and the static error text of _mysql_error,
// belong to one thread. Failures are thrown as bare text pointers (char*).
#ifndef CGIFRAMEWORK_SQLSESSION_H_
#define CGIFRAMEWORK_SQLSESSION_H_

#include <mysql.h>

#include "common/UString.h"
#include "kernel/OSListObj.h"

class WebContext;

class SQLSession : public OSListObj {
 public:
  // Root session: connects to `db` on `server` as `user` with `password`
  // through MysqlConnect, after telling the client library to read further
  // options (port, socket, time-outs, character set) from the group
  // "SQLSession" of its option files. Null texts select the library's
  // defaults. Throws _mysql_error(handle, "real connect") when the
  // connection fails, with the database name shown as "***" (only user and
  // server names may reach a page); no session exists then.
  //
  // No wait is without end: connecting (each attempt) times out after 3
  // seconds, and each read and each write on the connection after 10. The
  // settings file of the request (Setting::kSQLConnectTimeout,
  // kSQLReadTimeout and kSQLWriteTimeout of WebContext::global_context, in
  // whole seconds from 1 to 3600) can change them, timeout_cap bounds them,
  // and the option group
  // (connect-timeout) overrides the connect time-out (the client library
  // ignores read and write time-outs in option files). A read time-out
  // also ends a statement that waits that long for a locked table.
  SQLSession(const char* server, const char* user, const char* password,
             const char* db);
  // Child session on the connection of `s`, which must outlive it. A child
  // of no session (null `s`) has no connection: it runs no statements, but
  // QueryParse and the statement builders work on it.
  explicit SQLSession(SQLSession* s);
  // A root session closes its connection; a child leaves it open.
  ~SQLSession() override;
  SQLSession(const SQLSession&) = delete;
  SQLSession& operator=(const SQLSession&) = delete;

  // Replaces `out` with `text` escaped for use between two `quote`
  // characters (single or double quote) in a statement on this connection
  // and returns its text, valid until `out` changes. Follows the server's
  // quoting rules: backslash escapes (mysql_real_escape_string; without a
  // connection the escaping of an ASCII-compatible character set), or, when
  // the connection runs with NO_BACKSLASH_ESCAPES, `quote` written twice. A
  // null `text` gives the empty text.
  char* Escape(const char* text, UString& out, char quote = '\'');

  // Fills `q` with `orig` after substitution and returns its text (valid
  // until `q` changes); null when `orig` is null. A backslash makes the next
  // character literal. "$name", where the name runs up to the first single
  // quote, double quote, blank, comma or percent sign, becomes
  // context.GetVariable(name) when context.HasVariable(name) is true, and
  // stays as written otherwise. Substituted values are escaped as by Escape
  // for the quote that `orig` has open at that point (single quote outside
  // quotes), except a list of decimal ids joined by "','" (the portal's
  // customer search group), which is meant to form a list of quoted ids and
  // is inserted as it is. A child hands the call to the session it borrows
  // from. Throws what the context's GetVariable throws.
  char* QueryParse(WebContext& context, const char* orig, UString& q);

  // Statement builders over the request's Normal arguments other than
  // "nodefaults", in list order, as "name=value" assignments joined by ",".
  // A name holding a "." is written as it is (a qualified column), any other
  // between backquotes; a qualified name that is not made of identifier
  // characters has each part put between backquotes instead. Values are
  // escaped as by Escape. Each fills `q` and returns its text (valid until
  // `q` changes).
  //
  // "UPDATE `table` SET ..." with a value of exactly one decimal digit
  // written bare and every other between double quotes, then " WHERE ",
  // the index name written like the others, "=" and the index value between
  // double quotes.
  char* GetSQLUpdate(WebContext& context, UString& q, const char* table,
                     const char* indexname, const char* indexvalue);
  // "INSERT `table` SET ..." with every value between double quotes.
  char* GetSQLInsert(WebContext& context, UString& q, const char* table);
  // "DELETE FROM table WHERE indexname = indexvalue". Table and index name
  // are written bare when they are made of identifier characters (and
  // dots), otherwise between backquotes; the index value is written bare
  // when it is a decimal integer, otherwise escaped between single quotes.
  char* GetSQLDelete(WebContext& context, UString& q, const char* table,
                     const char* indexname, const char* indexvalue);

  // When not 0, no time-out of a root session made later exceeds this many
  // seconds, whatever the settings say (the self-check's time limit).
  static unsigned timeout_cap;
  // mysql_errno of the last connection that failed (0 while none did), so
  // that a caller can tell the causes apart without reading the text.
  static unsigned connect_errno;

  MYSQL* mysql;        // the connection in use: &_mysql for a root session,
                       // the parent's for a child, null for none
  SQLSession* parent;  // the session whose connection a child borrows; null
                       // for a root session
  MYSQL _mysql;        // connection storage of a root session

 private:
  // Appends to `q` the assignments of the builders; `quote_digit` writes a
  // one-digit value in double quotes too.
  void AppendAssignments(WebContext& context, UString& q, bool quote_digit);
  // Appends `value` escaped between two `quote` characters.
  void AppendQuotedValue(UString& q, const char* value, char quote);
};

// Local server sockets tried, in order, for the host "localhost" when no
// socket is given; null-terminated.
extern const char* socket_paths[];

// mysql_real_connect with the same arguments and result (the handle on
// success, null on failure). For the host exactly "localhost" without
// `unix_socket`, first tries each of socket_paths and returns the first
// connection made; when they all fail, or for any other host, connects with
// the arguments as given, so that the final error is that of the library's
// default. Failed trials keep the options set on `mysql`.
MYSQL* MysqlConnect(MYSQL* mysql, const char* host, const char* user,
                    const char* passwd, const char* db, unsigned int port,
                    const char* unix_socket, unsigned long flags);

// The error text of a failed statement (or connection step) `fullSQL` on
// connection `s`: "<br>SQL: %s<br>ERROR: %s" while the request variable
// QUERY_STRING is set (a CGI request; both parts HTML-escaped), otherwise
// "\nSQL: %s\nERROR: %s" as they stand, with the first 31700 characters of
// `fullSQL` and mysql_error(s). Written into one static 32000-byte buffer
// and returned; valid until the next call. When the text does not fit, the
// statement is cut (never inside a character reference or a UTF-8
// sequence): the server's message always stays whole.
char* _mysql_error(MYSQL* s, const char* fullSQL);

#endif  // CGIFRAMEWORK_SQLSESSION_H_
