#include "cgiFramework/SQLSession.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <string>

#include "cgiFramework/RequestInput.h"
#include "cgiFramework/WebArgument.h"
#include "cgiFramework/WebContext.h"
#include "kernel/OSConsole.h"

const char* socket_paths[] = {"/var/run/mysql/mysql.sock",
                              "/var/lib/mysql/mysql.sock", nullptr};

namespace {

// The longest statement text an error text repeats, and the size of the
// buffer that holds the error text.
constexpr size_t kErrorSqlLength = 31700;
constexpr size_t kErrorTextSize = 32000;

// Time-outs of a root session's connection in seconds, used when the
// settings name none: connecting (each attempt), and each read and each
// write on the connection. Settings above kMaxTimeout are not taken.
constexpr unsigned kDefaultConnectTimeout = 3;
constexpr unsigned kDefaultReadTimeout = 10;
constexpr unsigned kDefaultWriteTimeout = 10;
constexpr long kMaxTimeout = 3600;

// The time-out `key` of the request's settings file (a Hidden argument of
// the current request context): a whole number of seconds from 1 to
// kMaxTimeout. `fallback` when there is no context, or the key is absent
// or holds anything else.
unsigned SettingSeconds(Setting key, unsigned fallback) {
  WebContext* context = WebContext::global_context;
  if (context == nullptr) return fallback;
  const char* text = context->GetSetting(key);
  char* end;
  long seconds = strtol(text, &end, 10);
  if (end == text || *end != '\0' || seconds < 1 || seconds > kMaxTimeout) {
    return fallback;
  }
  return static_cast<unsigned>(seconds);
}

// Sets the connection time-outs of `mysql` from the settings, each at most
// `cap` seconds (0: no cap). Options of the group "SQLSession" of the option
// files, read when connecting, still override them.
bool SetTimeouts(MYSQL* mysql, unsigned cap) {
  unsigned connect =
      SettingSeconds(Setting::kSQLConnectTimeout, kDefaultConnectTimeout);
  unsigned read = SettingSeconds(Setting::kSQLReadTimeout, kDefaultReadTimeout);
  unsigned write =
      SettingSeconds(Setting::kSQLWriteTimeout, kDefaultWriteTimeout);
  if (cap != 0) {
    connect = std::min(connect, cap);
    read = std::min(read, cap);
    write = std::min(write, cap);
  }
  return mysql_options(mysql, MYSQL_OPT_CONNECT_TIMEOUT, &connect) == 0 &&
         mysql_options(mysql, MYSQL_OPT_READ_TIMEOUT, &read) == 0 &&
         mysql_options(mysql, MYSQL_OPT_WRITE_TIMEOUT, &write) == 0;
}

// The HTML character reference for `c` when it is &, <, > or ", else null.
const char* HtmlEntity(char c) {
  switch (c) {
    case '&':
      return "&amp;";
    case '<':
      return "&lt;";
    case '>':
      return "&gt;";
    case '"':
      return "&quot;";
    default:
      return nullptr;
  }
}

// Appends to `out` as much of `text` as fits into `room` bytes, with the
// HTML character references when `html` is set. Never cuts a reference or
// a UTF-8 sequence.
void AppendCut(std::string& out, const std::string& text, size_t room,
               bool html) {
  size_t limit = out.size() + room;
  size_t i = 0;
  for (; i < text.size(); ++i) {
    const char* entity = html ? HtmlEntity(text[i]) : nullptr;
    size_t length = entity != nullptr ? strlen(entity) : 1;
    if (out.size() + length > limit) break;
    if (entity != nullptr) {
      out += entity;
    } else {
      out += text[i];
    }
  }
  // A byte of a multi-byte sequence is appended as itself: drop those of a
  // sequence that did not fit whole.
  while (i > 0 && i < text.size() &&
         (static_cast<unsigned char>(text[i]) & 0xC0) == 0x80) {
    --i;
    out.pop_back();
  }
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

// The error text for `message` and `fullSQL`, as _mysql_error describes it.
char* ErrorText(const std::string& message, const char* fullSQL);

// `message` with the database name `db` shown as "***". The server names
// the database of a refused or failed connection ("... to database 'x'",
// "Unknown database 'x'"); only the user and server names of the settings
// may reach a page.
std::string WithoutDatabase(std::string message, const char* db) {
  if (db == nullptr || *db == '\0') return message;
  const std::string named = std::string("database '") + db + "'";
  for (size_t at = message.find(named); at != std::string::npos;
       at = message.find(named, at)) {
    message.replace(at, named.size(), "database '***'");
  }
  return message;
}

}  // namespace

unsigned SQLSession::timeout_cap = 0;
unsigned SQLSession::connect_errno = 0;

SQLSession::SQLSession(const char* server, const char* user,
                       const char* password, const char* db)
    : mysql(&_mysql), parent(nullptr), _mysql() {
  if (mysql_init(&_mysql) == nullptr) os_fatal("SQLSession: mysql_init failed");
  if (!SetTimeouts(mysql, timeout_cap) ||
      mysql_options(mysql, MYSQL_READ_DEFAULT_GROUP, "SQLSession") != 0 ||
      MysqlConnect(mysql, server, user, password, db, 0, nullptr, 0) ==
          nullptr) {
    // The error text is built before the handle is released.
    char* error =
        ErrorText(WithoutDatabase(mysql_error(mysql), db), "real connect");
    connect_errno = mysql_errno(mysql);
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
  for (WebArgument* arg : context.arguments) {
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
  return ErrorText(s != nullptr ? mysql_error(s) : "", fullSQL);
}

namespace {

char* ErrorText(const std::string& message, const char* fullSQL) {
  static char error_text[kErrorTextSize];
  bool html = RequestParam("QUERY_STRING") != nullptr;
  std::string sql(fullSQL != nullptr ? fullSQL : "");
  if (sql.size() > kErrorSqlLength) sql.resize(kErrorSqlLength);
  std::string text = html ? "<br>SQL: " : "\nSQL: ";
  std::string tail = html ? "<br>ERROR: " : "\nERROR: ";
  AppendCut(tail, message, kErrorTextSize - 1 - text.size() - tail.size(),
            html);
  // The server's message always keeps its place: the statement gives way.
  AppendCut(text, sql, kErrorTextSize - 1 - text.size() - tail.size(), html);
  text += tail;
  memcpy(error_text, text.c_str(), text.size() + 1);
  return error_text;
}

}  // namespace
