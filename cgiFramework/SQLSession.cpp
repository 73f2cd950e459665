#include "cgiFramework/SQLSession.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <string>

#include "cgiFramework/WebArgument.h"
#include "cgiFramework/WebContext.h"
#include "kernel/OSConsole.h"
#include "kernel/OSList.h"

const char* socket_paths[] = {"/var/run/mysql/mysql.sock",
                              "/var/lib/mysql/mysql.sock", nullptr};

namespace {

// The longest statement text an error text repeats, and the size of the
// buffer that holds the error text.
constexpr size_t kErrorSqlLength = 31700;
constexpr size_t kErrorTextSize = 32000;

// `text` with &, <, > and " written as HTML character references.
std::string HtmlEscape(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

// True when `text` is a non-empty run of identifier characters (letters,
// digits, "_", "$") and, with `dots`, ".".
bool IsIdentifier(const char* text, bool dots) {
  if (*text == '\0') return false;
  for (const char* p = text; *p != '\0'; ++p) {
    unsigned char c = static_cast<unsigned char>(*p);
    if (!isalnum(c) && c != '_' && c != '$' && !(dots && c == '.'))
      return false;
  }
  return true;
}

// Appends `name` between backquotes, a backquote inside written twice.
void AppendQuotedName(UString& q, const std::string& name) {
  q += '`';
  for (char c : name) {
    if (c == '`') q += '`';
    q += c;
  }
  q += '`';
}

// Appends a name that is written bare: as it is when it is made of
// identifier characters and dots, otherwise with each dot-separated part
// between backquotes, so that no name can end the statement's structure.
void AppendBareName(UString& q, const char* name) {
  if (IsIdentifier(name, true)) {
    q += name;
    return;
  }
  const char* part = name;
  for (;;) {
    const char* dot = strchr(part, '.');
    size_t len =
        dot != nullptr ? static_cast<size_t>(dot - part) : strlen(part);
    AppendQuotedName(q, std::string(part, len));
    if (dot == nullptr) break;
    q += '.';
    part = dot + 1;
  }
}

// Appends a column name of an assignment or condition, followed by "=": a
// qualified name (holding a ".") bare, any other between backquotes.
void AppendColumn(UString& q, const char* name) {
  if (strchr(name, '.') != nullptr) {
    AppendBareName(q, name);
  } else {
    AppendQuotedName(q, name);
  }
  q += '=';
}

// True for an optionally signed run of decimal digits.
bool IsInteger(const char* text) {
  if (*text == '-' || *text == '+') ++text;
  if (*text == '\0') return false;
  for (; *text != '\0'; ++text) {
    if (!isdigit(static_cast<unsigned char>(*text))) return false;
  }
  return true;
}

// True for decimal ids joined by "','", the shape of a customer search
// group: a list of quoted ids once placed between single quotes.
bool IsQuotedIdList(const char* text) {
  for (;;) {
    if (!isdigit(static_cast<unsigned char>(*text))) return false;
    while (isdigit(static_cast<unsigned char>(*text))) ++text;
    if (*text == '\0') return true;
    if (strncmp(text, "','", 3) != 0) return false;
    text += 3;
  }
}

}  // namespace

SQLSession::SQLSession(const char* server, const char* user,
                       const char* password, const char* db)
    : mysql(&_mysql), parent(nullptr), _mysql() {
  if (mysql_init(&_mysql) == nullptr) os_fatal("SQLSession: mysql_init failed");
  if (mysql_options(mysql, MYSQL_READ_DEFAULT_GROUP, "SQLSession") != 0 ||
      MysqlConnect(mysql, server, user, password, db, 0, nullptr, 0) ==
          nullptr) {
    // The error text is built before the handle is released.
    char* error = _mysql_error(mysql, "real connect");
    mysql_close(mysql);
    throw error;
  }
}

SQLSession::SQLSession(SQLSession* s)
    : mysql(s != nullptr ? s->mysql : nullptr), parent(s), _mysql() {}

SQLSession::~SQLSession() {
  if (mysql == &_mysql) mysql_close(mysql);
}

char* SQLSession::Escape(const char* text, UString& out, char quote) {
  if (text == nullptr) text = "";
  if (mysql != nullptr &&
      (mysql->server_status & SERVER_STATUS_NO_BACKSLASH_ESCAPES) != 0) {
    // A backslash is an ordinary character then, and the library doubles
    // only single quotes: the delimiting quote is doubled here instead.
    std::string doubled;
    for (const char* p = text; *p != '\0'; ++p) {
      if (*p == quote) doubled += quote;
      doubled += *p;
    }
    out = doubled.c_str();
    return out;
  }
  unsigned long length = strlen(text);
  std::string escaped(2 * length + 1, '\0');
  unsigned long written;
  if (mysql != nullptr) {
    written = mysql_real_escape_string(mysql, &escaped[0], text, length);
  } else {
    // Without a connection the library's character sets may not be set up
    // yet (a second initialisation does nothing).
    if (mysql_library_init(0, nullptr, nullptr) != 0) {
      os_fatal("SQLSession: mysql_library_init failed");
    }
    written = mysql_escape_string(&escaped[0], text, length);
  }
  escaped.resize(written);
  out = escaped.c_str();
  return out;
}

char* SQLSession::QueryParse(WebContext& context, const char* orig,
                             UString& q) {
  if (parent != nullptr) return parent->QueryParse(context, orig, q);
  if (orig == nullptr) return nullptr;
  std::string out;
  UString escaped;
  char quote = '\0';  // the quote the statement has open, '\0' for none
  const char* p = orig;
  while (*p != '\0') {
    size_t plain = strcspn(p, "\\$'\"");
    out.append(p, plain);
    p += plain;
    if (*p == '\\') {
      // The character after a backslash is taken literally; a backslash
      // that ends the text stays as it is.
      if (p[1] == '\0') {
        out += '\\';
        break;
      }
      out += p[1];
      p += 2;
    } else if (*p == '$') {
      size_t length = strcspn(p + 1, "'\" ,%");
      std::string name(p + 1, length);
      if (context.HasVariable(name.c_str())) {
        const char* value = context.GetVariable(name.c_str());
        out += IsQuotedIdList(value)
                   ? value
                   : Escape(value, escaped, quote != '\0' ? quote : '\'');
        p += 1 + length;
      } else {
        out += '$';
        ++p;
      }
    } else if (*p != '\0') {
      // A quote opens a quoted text, or closes the one it opened.
      if (quote == '\0') {
        quote = *p;
      } else if (quote == *p) {
        quote = '\0';
      }
      out += *p++;
    }
  }
  q = out.c_str();
  return q;
}

void SQLSession::AppendAssignments(WebContext& context, UString& q,
                                   bool quote_digit) {
  bool first = true;
  OSListIterator it(&context.arguments);
  while (OSListObj* obj = it.Next()) {
    WebArgument* arg = static_cast<WebArgument*>(obj);
    if (arg->type != WebArgument::Normal || arg->name == "nodefaults") continue;
    if (!first) q += ',';
    first = false;
    AppendColumn(q, arg->name);
    const char* value = arg->value;
    bool bare = !quote_digit && strlen(value) == 1 &&
                isdigit(static_cast<unsigned char>(value[0]));
    if (bare) {
      q += value;
    } else {
      AppendQuotedValue(q, value, '"');
    }
  }
}

void SQLSession::AppendQuotedValue(UString& q, const char* value, char quote) {
  UString escaped;
  q += quote;
  q += Escape(value, escaped, quote);
  q += quote;
}

char* SQLSession::GetSQLUpdate(WebContext& context, UString& q,
                               const char* table, const char* indexname,
                               const char* indexvalue) {
  q = "UPDATE ";
  AppendQuotedName(q, table != nullptr ? table : "");
  q += " SET ";
  AppendAssignments(context, q, false);
  q += " WHERE ";
  AppendColumn(q, indexname != nullptr ? indexname : "");
  AppendQuotedValue(q, indexvalue, '"');
  return q;
}

char* SQLSession::GetSQLInsert(WebContext& context, UString& q,
                               const char* table) {
  q = "INSERT ";
  AppendQuotedName(q, table != nullptr ? table : "");
  q += " SET ";
  AppendAssignments(context, q, true);
  return q;
}

char* SQLSession::GetSQLDelete(WebContext& /*context*/, UString& q,
                               const char* table, const char* indexname,
                               const char* indexvalue) {
  if (indexvalue == nullptr) indexvalue = "";
  q = "DELETE FROM ";
  AppendBareName(q, table != nullptr ? table : "");
  q += " WHERE ";
  AppendBareName(q, indexname != nullptr ? indexname : "");
  q += " = ";
  if (IsInteger(indexvalue)) {
    q += indexvalue;
  } else {
    AppendQuotedValue(q, indexvalue, '\'');
  }
  return q;
}

MYSQL* MysqlConnect(MYSQL* mysql, const char* host, const char* user,
                    const char* passwd, const char* db, unsigned int port,
                    const char* unix_socket, unsigned long flags) {
  if (host != nullptr && strcmp(host, "localhost") == 0 &&
      unix_socket == nullptr) {
    // A failed connect drops the handle's options (among them the option
    // group to read) unless told to keep them for the next trial.
    for (const char** path = socket_paths; *path != nullptr; ++path) {
      MYSQL* connected =
          mysql_real_connect(mysql, host, user, passwd, db, port, *path,
                             flags | CLIENT_REMEMBER_OPTIONS);
      if (connected != nullptr) return connected;
    }
  }
  return mysql_real_connect(mysql, host, user, passwd, db, port, unix_socket,
                            flags);
}

char* _mysql_error(MYSQL* s, const char* fullSQL) {
  static char error_text[kErrorTextSize];
  std::string sql(fullSQL != nullptr ? fullSQL : "");
  if (sql.size() > kErrorSqlLength) sql.resize(kErrorSqlLength);
  std::string message(s != nullptr ? mysql_error(s) : "");
  std::string text;
  if (getenv("QUERY_STRING") != nullptr) {
    text = "<br>SQL: " + HtmlEscape(sql) + "<br>ERROR: " + HtmlEscape(message);
  } else {
    text = "\nSQL: " + sql + "\nERROR: " + message;
  }
  size_t length = std::min(text.size(), kErrorTextSize - 1);
  memcpy(error_text, text.data(), length);
  error_text[length] = '\0';
  return error_text;
}
