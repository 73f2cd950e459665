// The portal's settings file: the one table of the keys the program reads,
// and the reader of the file's syntax.
//
// Syntax: one name=value per line. A line whose first character is "#" is a
// comment and a line of blanks (or nothing) is empty; both are skipped
// before anything else is read. The other lines are read in query-string
// syntax: "&" also ends a pair, "+" is a blank and "%XY" the byte of the
// two hexadecimal digits ("%26" "&", "%25" "%", "%2B" "+", "%22" a double
// and "%27" a single quote), quotes protect "&" up to the line end, and the
// line end ends every value. A line without "=" (and a text after "&"
// without one) has its name run on into the next line: such a pair is kept
// as read, and ParseSettings marks it so that the self-check can name it.
// A leading UTF-8 byte-order mark is skipped; a NUL byte ends the text.
//
// Adding a key: one ROW in VXML_SETTINGS_KEYS below, one row in README.md's
// settings table (a test compares the two).
#ifndef CGIFRAMEWORK_SETTINGS_H_
#define CGIFRAMEWORK_SETTINGS_H_

#include <cstddef>
#include <string>
#include <vector>

// ROW(id, name, secret, required, meaning, when unset)
//   secret:   the value is a password: never printed, not even in part
//   required: the self-check fails when the key is missing
//   meaning, when unset: one line each for the self-check
#define VXML_SETTINGS_KEYS(ROW)                                               \
  ROW(kServerAddress, "serverAddress", false, true, "database server",        \
      "the client library's default server (localhost)")                      \
  ROW(kUser, "user", false, true, "database user", "the login user's name")   \
  ROW(kPassword, "password", true, false, "database password",                \
      "the database user logs in without password")                           \
  ROW(kDb, "db", false, true, "database name", "no database selected")        \
  ROW(kLDAPServer, "ldapserver", false, false, "directory server",            \
      "the directory on 127.0.0.1")                                            \
  ROW(kLDAPUser, "ldapuser", false, false, "directory bind name",             \
      "the directory bind is anonymous")                                      \
  ROW(kLDAPPassword, "ldappassword", true, false, "directory bind password",  \
      "the directory bind has no password")                                   \
  ROW(kLDAPVersion, "ldapversion", false, false, "LDAP version of the bind",  \
      "LDAP version 2, then 3 when the directory refuses 2")                  \
  ROW(kLDAPBase, "ldapbase", false, false, "base of the call-back search",    \
      "the call-back search uses the base \"\" (the directory's default)")    \
  ROW(kMaxPostSize, "maxPostSize", false, false, "largest request body",      \
      "request bodies up to 16 MiB")                                          \
  ROW(kSQLConnectTimeout, "sqlConnectTimeout", false, false,                  \
      "seconds per database connection attempt", "3 seconds")                 \
  ROW(kSQLReadTimeout, "sqlReadTimeout", false, false,                        \
      "seconds per database read", "10 seconds")                              \
  ROW(kSQLWriteTimeout, "sqlWriteTimeout", false, false,                      \
      "seconds per database write", "10 seconds")                             \
  ROW(kSessionSync, "sessionSync", false, false,                              \
      "1: session saves are flushed to the disk", "no flush")                 \
  ROW(kSessionCleanup, "sessionCleanup", false, false,                        \
      "off, 0 or no: no idle-session scan after answers (the timer's only)",  \
      "idle sessions are deleted after answers")                              \
  ROW(kRequestLog, "requestlog", false, false,                                \
      "off, 0 or no: no request log line", "one line per request goes to "    \
      "syslog")                                                               \
  ROW(kFastCgiMaxRequests, "fastcgiMaxRequests", false, false,                \
      "requests a FastCGI worker answers before it ends",                     \
      "10000 requests a worker")

// A key of the settings file.
enum class Setting {
#define VXML_SETTING_ID(id, ...) id,
  VXML_SETTINGS_KEYS(VXML_SETTING_ID)
#undef VXML_SETTING_ID
};

// What the program knows of a key.
struct SettingKey {
  Setting id;
  const char* name;
  bool secret;
  bool required;
  const char* meaning;
  const char* when_unset;
};

// Every key, in the order of the table.
#define VXML_SETTING_ONE(...) +1
inline constexpr size_t kSettingKeyCount =
    0 VXML_SETTINGS_KEYS(VXML_SETTING_ONE);
#undef VXML_SETTING_ONE
extern const SettingKey kSettingKeys[kSettingKeyCount];

// The row of `id`.
const SettingKey& KeyOf(Setting id);
// The row whose name is exactly `name`; null for an unknown name.
const SettingKey* FindSettingKey(const char* name);
// True when a switch's value turns it off: "off", "0" or "no" (any case for
// the words); empty or anything else leaves it on.
bool IsOffSetting(const char* value);

// One name=value pair of the settings file as the program reads it.
struct SettingsEntry {
  std::string name;   // decoded; holds a line end when it ran on
  std::string value;  // decoded
  int line = 0;       // line of its first character, from 1
  int last_line = 0;  // line of its last character
  bool has_equals = false;   // its name ended at an "="
  bool starts_line = false;  // the pair opens its line (not after "&")

  // True when the pair is not one name=value of its own line: its name ran
  // on into the next line, or it had no "=".
  bool RanOn() const { return !has_equals || last_line != line; }
};

// A settings file read.
struct SettingsText {
  std::vector<SettingsEntry> entries;  // in file order, repeats included
  bool byte_order_mark = false;        // a leading BOM was skipped
  int nul_line = 0;  // line of the first NUL byte (the rest is not read);
                     // 0 for none
};

// Reads `length` bytes of `text` as a settings file (see above).
SettingsText ParseSettings(const char* text, size_t length);

// Reads the file `path` (a link to it is followed; anything but a regular
// file counts as missing). False with errno set when it cannot be opened.
bool ReadSettingsFile(const char* path, SettingsText* settings);

#endif  // CGIFRAMEWORK_SETTINGS_H_
