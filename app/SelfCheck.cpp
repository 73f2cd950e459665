#include "app/SelfCheck.h"

#include <dirent.h>
#include <errmsg.h>
#include <fcntl.h>
#include <mysqld_error.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <string>

#include "app/PortalContext.h"
#include "app/RequestWatchdog.h"
#include "app/VXML.h"
#include "app/VXMLRequest.h"
#include "cgiFramework/SQLSession.h"
#include "cgiFramework/Settings.h"
#include "cgiFramework/SitePaths.h"
#include "cgiFramework/WebContext.h"
#include "common/UString.h"
#include "ldap/LDAPClient.h"
#include "ldap/LDAPSession.h"
#include "kernel/OSTime.h"

namespace {

// The search the call-back page makes, for any number.
const char kSearchFilter[] = "(GlobalTelephoneNumber=*)";
// LDAP result codes the check explains.
constexpr int kProtocolError = 2;
constexpr int kSizeLimitExceeded = 4;
constexpr int kNoSuchObject = 32;
constexpr int kInvalidDNSyntax = 34;
constexpr int kInvalidCredentials = 49;

// The longest wait of one step of the check (a connection attempt, an
// answer), and the time kept back for the local checks at the end. With at
// most three database connection attempts, one statement, a directory
// connection (Socket's 2 s), a bind and a search, the check stays within
// the request time limit.
constexpr long kStepLimitMs = 4000;
constexpr long kReserveMs = 2000;
// A step is not started with less time than this left.
constexpr long kShortestStepMs = 500;
// An unknown key is named only when it is this short.
constexpr size_t kMaxShownName = 64;

const char kOutOfTime[] = "the check's time limit is spent";

// `text` (an error text meant for an HTML page) on one plain line.
UString PlainText(const char* text) {
  UString plain = text;
  plain.ReplaceAll("<br>", " ");
  plain.ReplaceAll("\n", " ");
  plain.ReplaceAll("\r", "");
  const char* start = plain;
  while (*start == ' ') ++start;
  return UString(start);
}

// True when an unknown key `name` may be printed: a short word of letters,
// digits, "_", "-" and ".", which cannot be a fragment of a value.
bool IsShowable(const std::string& name) {
  if (name.empty() || name.size() > kMaxShownName) return false;
  return std::all_of(name.begin(), name.end(), [](char c) {
    return isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '-' ||
           c == '.';
  });
}

// The first pair of `settings` called `name`: the one the program uses.
const SettingsEntry* FirstEntry(const SettingsText& settings,
                                const char* name) {
  for (const SettingsEntry& entry : settings.entries) {
    if (entry.name == name) return &entry;
  }
  return nullptr;
}

// The pair whose name ran on into a line that begins with `name` and so
// took that key; null when there is none.
const SettingsEntry* SwallowingEntry(const SettingsText& settings,
                                     const char* name) {
  for (const SettingsEntry& entry : settings.entries) {
    const size_t newline = entry.name.rfind('\n');
    if (entry.RanOn() && newline != std::string::npos &&
        entry.name.compare(newline + 1, std::string::npos, name) == 0) {
      return &entry;
    }
  }
  return nullptr;
}

class SelfCheck {
 public:
  // Checks for the web user `user` (null: none).
  SelfCheck(FILE* out, const char* user)
      : out_(out), user_(user), deadline_ms_(os_monotonic_ms() + kRequestTimeLimitMs) {}

  // Runs every check; returns the exit status.
  int Run();

 private:
  void Pass(const char* what) { Print("ok  ", what, nullptr); }
  void Fail(const char* what, const char* fix) {
    ++failures_;
    Print("FAIL", what, fix);
  }
  void Skip(const char* what, const char* why) { Print("skip", what, why); }
  // Writes one line and flushes it, so that it survives the watchdog.
  void Print(const char* status, const char* what, const char* detail);
  // The time the next step may wait: at most kStepLimitMs, 0 when the check
  // has too little left (then `what` is reported as skipped).
  long StepMs(const char* what);

  bool CheckSettingsFile(SettingsText* settings);
  void CheckLines(const SettingsText& settings);
  void CheckKeys(const SettingsText& settings);
  bool CheckDatabase(PortalContext& context);
  bool CheckSettingsRow(PortalContext& context);
  void CheckDirectory(PortalContext& context);
  void DiagnoseBind(UString& what, int code, const char* user, int version);
  // Searches under `base` (printed as `shown_base`).
  void CheckSearch(LDAPClient& client, const char* base,
                   const char* shown_base);
  void CheckSessionDirectory();
  void CheckArchive(PortalContext& context, bool known_host);

  // The settings value of `id`, or "(not shown)" for a key set where a
  // password may continue (see CheckLines).
  const char* Shown(PortalContext& context, Setting id) const {
    return hidden_.count(id) != 0 ? "(not shown)" : context.GetSetting(id);
  }

  FILE* const out_;
  const char* const user_;
  const long deadline_ms_;  // the check ends before this time
  const UString settings_path_ = SitePath(kPortalSettingsFile);
  int failures_ = 0;
  std::set<Setting> hidden_;  // keys whose values are not shown
};

void SelfCheck::Print(const char* status, const char* what,
                      const char* detail) {
  fprintf(out_, "%s %s%s%s\n", status, what, detail != nullptr ? ": " : "",
          detail != nullptr ? detail : "");
  fflush(out_);
}

long SelfCheck::StepMs(const char* what) {
  const long left = deadline_ms_ - kReserveMs - os_monotonic_ms();
  if (left < kShortestStepMs) {
    Skip(what, kOutOfTime);
    return 0;
  }
  return std::min(left, kStepLimitMs);
}

int SelfCheck::Run() {
  SettingsText settings;
  if (CheckSettingsFile(&settings)) {
    CheckLines(settings);
    CheckKeys(settings);
  }
  // The check reads no request: no body from standard input.
  unsetenv("CONTENT_LENGTH");
  // The context creates a missing session directory. Made by the check (run
  // by another user than the web server's, say), it could be of the wrong
  // owner: it is removed again and reported missing.
  const UString sessions = SitePath(kSessionDir);
  const bool sessions_existed = access(sessions, F_OK) == 0;
  std::unique_ptr<PortalContext> context;
  try {
    context = std::make_unique<PortalContext>(settings_path_, "");
  } catch (const char* error) {
    Fail("request context", PlainText(error));
    return 1;
  }
  if (!sessions_existed) rmdir(sessions);
  bool known_host = false;
  const bool database = CheckDatabase(*context);
  if (user_ == nullptr) {
    Skip("portal settings of a web user",
         "needs --user NAME (the user name the web server authenticates)");
  } else if (!database) {
    Skip("portal settings of a web user", "needs the database");
  } else if (CheckSettingsRow(*context)) {
    known_host = !context->hostName.IsEmpty();
  }
  CheckDirectory(*context);
  CheckSessionDirectory();
  CheckArchive(*context, known_host);
  return failures_ == 0 ? 0 : 1;
}

bool SelfCheck::CheckSettingsFile(SettingsText* settings) {
  UString what;
  if (!ReadSettingsFile(settings_path_, settings)) {
    what.Format("settings file %s: %s", static_cast<char*>(settings_path_),
                strerror(errno));
    Fail(what,
         "create it as a regular file readable by the web server's user, with "
         "one key=value per line (see the README's settings keys)");
    return false;
  }
  what.Format("settings file %s read", static_cast<char*>(settings_path_));
  Pass(what);
  return true;
}

// Lines are named by number; a text that may be part of a password (after
// "&", on a line without "=") is never shown, only the key before it.
void SelfCheck::CheckLines(const SettingsText& settings) {
  if (settings.byte_order_mark) {
    Pass("settings file line 1: a UTF-8 byte-order mark, skipped");
  }
  UString what;
  if (settings.nul_line != 0) {
    what.Format("settings file line %d: a NUL byte; nothing after it is read",
                settings.nul_line);
    Fail(what, "remove it: the file must be plain text");
  }
  std::map<std::string, int> first_lines;
  const SettingKey* line_key = nullptr;  // the key that opened the line
  for (const SettingsEntry& entry : settings.entries) {
    const SettingKey* key =
        entry.RanOn() ? nullptr : FindSettingKey(entry.name.c_str());
    if (entry.starts_line) line_key = key;
    // After "&" on a password's line, even a known key may be part of the
    // password: its value is not shown anywhere.
    const bool secret_tail =
        !entry.starts_line && line_key != nullptr && line_key->secret;
    const bool first =
        key != nullptr && first_lines.emplace(key->name, entry.line).second;
    if (secret_tail && first) hidden_.insert(key->id);
    UString run_on;
    if (entry.has_equals && entry.RanOn()) {
      run_on.Format(", read together with line %d as one name",
                    entry.last_line);
    } else if (!entry.has_equals) {
      run_on = ", without \"=\"";
    }
    if (!entry.starts_line && (key == nullptr || secret_tail)) {
      what.Format(
          "settings file line %d: a text after \"&\" in the value of %s (not "
          "shown)%s",
          entry.line, line_key != nullptr ? line_key->name : "its first key",
          static_cast<char*>(run_on));
      Fail(what, "write \"&\" in a value as %26");
    } else if (entry.RanOn()) {
      what.Format("settings file line %d: not name=value (not shown)%s",
                  entry.line, static_cast<char*>(run_on));
      Fail(what,
           "write one name=value per line, and comments with \"#\" as the "
           "line's first character");
    } else if (key == nullptr) {
      if (IsShowable(entry.name)) {
        what.Format("settings file line %d: unknown key \"%s\"", entry.line,
                    entry.name.c_str());
      } else {
        what.Format("settings file line %d: unknown key (not shown)",
                    entry.line);
      }
      Fail(what,
           "remove the line or correct the key (the README lists the keys)");
    } else if (!first) {
      what.Format("settings file line %d: %s repeats line %d, whose value is "
                  "used",
                  entry.line, key->name, first_lines[key->name]);
      Fail(what, "remove one of the two lines");
    }
  }
}

void SelfCheck::CheckKeys(const SettingsText& settings) {
  UString what;
  for (const SettingKey& key : kSettingKeys) {
    const SettingsEntry* entry = FirstEntry(settings, key.name);
    const SettingsEntry* swallowed =
        entry == nullptr ? SwallowingEntry(settings, key.name) : nullptr;
    if (swallowed != nullptr) {
      what.Format("setting %s missing: line %d runs on into its line",
                  key.name, swallowed->line);
      Fail(what, "mend that line (see above)");
    } else if (entry == nullptr && key.required) {
      what.Format("setting %s missing", key.name);
      UString fix;
      fix.Format("add %s=... to %s", key.name,
                 static_cast<char*>(settings_path_));
      Fail(what, fix);
    } else if (entry == nullptr) {
      what.Format("setting %s not set: %s", key.name, key.when_unset);
      Pass(what);
    } else if (entry->value.empty()) {
      what.Format("setting %s empty: %s", key.name, key.when_unset);
      Pass(what);
    } else if (key.secret || hidden_.count(key.id) != 0) {
      what.Format("setting %s is set (not shown)", key.name);
      Pass(what);
    } else if (key.id == Setting::kLDAPVersion &&
               LDAPVersion(entry->value.c_str()) < 0) {
      what.Format("setting %s=%s is not a protocol version", key.name,
                  entry->value.c_str());
      Fail(what, "set ldapversion=2 or ldapversion=3, or leave it empty");
    } else {
      what.Format("setting %s=%s", key.name, entry->value.c_str());
      Pass(what);
    }
  }
}

bool SelfCheck::CheckDatabase(PortalContext& context) {
  UString what;
  what.Format("database \"%s\" on %s as user %s",
              Shown(context, Setting::kDb),
              Shown(context, Setting::kServerAddress),
              Shown(context, Setting::kUser));
  const long step_ms = StepMs(what);
  if (step_ms == 0) return false;
  SQLSession::timeout_cap =
      static_cast<unsigned>(std::max(1L, step_ms / 1000));
  try {
    context.GetSQLSession();
  } catch (const char* error) {
    const char* fix =
        "see the database's message; the option group [SQLSession] of "
        "my.cnf (under MYSQL_HOME) sets port, socket and time-outs";
    switch (SQLSession::connect_errno) {
      case ER_ACCESS_DENIED_ERROR:
      case ER_DBACCESS_DENIED_ERROR:
        fix =
            "fix user= and password= in the settings file, or grant the "
            "user access to the database";
        break;
      case ER_BAD_DB_ERROR:
        fix = "fix db= in the settings file, or create the database";
        break;
      case CR_SERVER_LOST:
        fix =
            "the server accepted but did not answer in time: check its load, "
            "and that serverAddress= and the port of [SQLSession] name the "
            "database";
        break;
      case CR_CONNECTION_ERROR:
      case CR_CONN_HOST_ERROR:
      case CR_UNKNOWN_HOST:
      case CR_SERVER_GONE_ERROR:
        fix =
            "start MariaDB, or fix serverAddress= in the settings file (port "
            "and socket: option group [SQLSession] of my.cnf under "
            "MYSQL_HOME)";
        break;
    }
    what += ": ";
    what += PlainText(error);
    Fail(what, fix);
    return false;
  }
  what += ": connected";
  Pass(what);
  return true;
}

bool SelfCheck::CheckSettingsRow(PortalContext& context) {
  UString what;
  what.Format("portal settings of user \"%s\" at VirtualHost %s", user_,
              kPortalName);
  try {
    if (!context.LookUpSettings(user_)) {
      what += ": no row for this user";
      UString fix;
      fix.Format(
          "every page answers this user with the authorisation failure "
          "page: give the user a CustomerContact whose customer (or its "
          "subscriber) has a VirtualCallServer on the VirtualHost whose "
          "serverName is '%s', or check another user with --user NAME",
          kPortalName);
      Fail(what, fix);
      return false;
    }
  } catch (const char* error) {
    what += ": ";
    what += PlainText(error);
    Fail(what, "the portal database lacks the tables or columns it needs");
    return false;
  }
  UString found;
  found.Format(": customer %d, contact %d, call server host \"%s\"",
               context.customerId, context.contactId,
               static_cast<char*>(context.hostName));
  what += found;
  Pass(what);
  return true;
}

// Binds and searches as the program would, on a client of its own, so that
// each failure comes with its code.
void SelfCheck::CheckDirectory(PortalContext& context) {
  const char* configured = context.GetSetting(Setting::kLDAPServer);
  const char* server =
      *configured != '\0' ? configured : GetDefaultLDAPServer();
  UString what;
  what.Format("directory %s:%u",
              *configured != '\0' ? Shown(context, Setting::kLDAPServer)
                                  : server,
              LDAPSession::kPort);
  if (*configured == '\0') what += " (ldapserver empty: the fallback)";
  const int version = LDAPVersion(context.GetSetting(Setting::kLDAPVersion));
  if (version < 0) {
    Skip(what, "ldapversion is not 2 or 3 (see above)");
    return;
  }
  const long step_ms = StepMs(what);
  if (step_ms == 0) return;
  LDAPClient::SetOperationTimeout(static_cast<int>(step_ms));
  LDAPClient client(server, LDAPSession::kPort);
  if (client.state != LDAPClient::CONNECTED) {
    what += ": cannot connect";
    Fail(what,
         "start the directory server, or fix ldapserver= in the settings "
         "file");
    return;
  }
  const char* user = context.GetSetting(Setting::kLDAPUser);
  const int code = client.SimpleBind(
      user, context.GetSetting(Setting::kLDAPPassword), version);
  const char* shown_user = Shown(context, Setting::kLDAPUser);
  if (code != 0) {
    DiagnoseBind(what, code, shown_user, version);
    return;
  }
  what += ": bound as ";
  what += *user != '\0' ? shown_user : "(anonymous)";
  Pass(what);
  CheckSearch(client, context.GetSetting(Setting::kLDAPBase),
              Shown(context, Setting::kLDAPBase));
}

// Reports the bind of `user` with protocol `version` (0: 2, then 3) that
// ended with status `code`.
void SelfCheck::DiagnoseBind(UString& what, int code, const char* user,
                             int version) {
  UString cause;
  const char* fix = "see the directory server's log";
  switch (code) {
    case kProtocolError:
      if (version == 2) {
        cause = "directory refused LDAP version 2";
        fix = "allow it in slapd.conf (allow bind_v2) or set ldapversion=3";
      } else {
        cause = "directory refused the bind: protocol error";
      }
      break;
    case kInvalidCredentials:
      cause.Format("directory refused the bind as %s: invalid credentials",
                   user);
      fix = "fix ldapuser= and ldappassword= in the settings file";
      break;
    case kInvalidDNSyntax:
      cause.Format("directory refused the bind name %s: not a DN", user);
      fix = "set ldapuser= to a DN such as cn=admin,o=example";
      break;
    case LDAPClient::kServerDown:
      cause.Format("no answer to the bind within %d ms",
                   LDAPClient::operation_timeout_ms);
      fix =
          "check that the directory server on port 4000 works (see its log), "
          "or fix ldapserver=";
      break;
    case LDAPClient::kUnexpectedAnswer:
      cause = "the answer to the bind was not a bind answer";
      fix = "check that ldapserver= names the directory server";
      break;
    default:
      cause.Format("directory refused the bind (result %d)", code);
  }
  what += ": ";
  what += cause;
  Fail(what, fix);
}

void SelfCheck::CheckSearch(LDAPClient& client, const char* base,
                            const char* shown_base) {
  UString what;
  what.Format("directory search under base \"%s\" for %s", shown_base,
              kSearchFilter);
  const long step_ms = StepMs(what);
  if (step_ms == 0) return;
  LDAPClient::SetOperationTimeout(static_cast<int>(step_ms));
  static const char* const kAttributes[] = {"cn", nullptr};
  const int code =
      client.Search(base, 2, kSearchFilter, kAttributes, 0, 1, 0, 0);
  const bool found = code == 0 && client.CurrentObject() != nullptr;
  client.Flush();
  if (code == 0 || code == kSizeLimitExceeded) {
    what += found || code != 0 ? ": found an entry" : ": no entry (yet)";
    Pass(what);
  } else if (code == kNoSuchObject) {
    what += ": no such object";
    Fail(what,
         "the directory has no default search base: set ldapbase= to its "
         "suffix (e.g. ldapbase=o=example)");
  } else if (code == LDAPClient::kServerDown) {
    UString cause;
    cause.Format(": no answer within %ld ms", step_ms);
    what += cause;
    Fail(what, "see the directory server's log");
  } else {
    UString cause;
    cause.Format(": result %d", code);
    what += cause;
    Fail(what, "see the directory server's log");
  }
}

void SelfCheck::CheckSessionDirectory() {
  const UString dir = SitePath(kSessionDir);
  UString probe;
  // The "+" prefix keeps the idle-session clean-up away from the probe.
  probe.Format("%s/+selfcheck_%d", static_cast<char*>(dir),
               static_cast<int>(getpid()));
  UString what;
  if (access(dir, F_OK) != 0) {
    what.Format("session directory %s: missing", static_cast<char*>(dir));
    Fail(what, "create it, writable for the web server's user");
    return;
  }
  int fd = open(probe, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) {
    what.Format("session directory %s: cannot create a file: %s",
                static_cast<char*>(dir), strerror(errno));
    Fail(what,
         "create it and make it writable for the web server's user (run "
         "this check as that user)");
    return;
  }
  close(fd);
  unlink(probe);
  what.Format("session directory %s writable", static_cast<char*>(dir));
  Pass(what);
  UString fix;
  if (CheckSessionStamp(dir, kSessionPrefix, &what, &fix)) {
    Pass(what);
  } else {
    Fail(what, fix);
  }
}

void SelfCheck::CheckArchive(PortalContext& context, bool known_host) {
  if (user_ == nullptr) {
    Skip("voicemail archive",
         "its path needs the call server's host name from a web user's "
         "portal settings: needs --user NAME");
    return;
  }
  if (!known_host) {
    Skip("voicemail archive",
         "its path needs the call server's host name from the portal "
         "settings");
    return;
  }
  const UString archive = ArchiveDirectory(context.hostName);
  UString what;
  DIR* dir = opendir(archive);
  if (dir == nullptr) {
    what.Format("voicemail archive %s: %s", static_cast<char*>(archive),
                strerror(errno));
    Fail(what,
         "the telephone system writes it: check the host name in "
         "VirtualCallServer.HostName and the directory's permissions");
    return;
  }
  closedir(dir);
  what.Format("voicemail archive %s readable", static_cast<char*>(archive));
  Pass(what);
}

// --- The command line --------------------------------------------------------

// One command: its name (the first argument), what may follow it and its
// purpose (for the usage), and what runs it with the arguments after its
// name; the run returns kBadCommandLine for arguments it does not take.
struct Command {
  const char* name;
  const char* arguments;
  const char* purpose;
  int (*run)(int argc, char** argv, FILE* out);
};

int Check(int argc, char** argv, FILE* out) {
  const char* user = nullptr;
  if (argc == 2 && strcmp(argv[0], "--user") == 0 && *argv[1] != '\0') {
    user = argv[1];
  } else if (argc != 0) {
    return kBadCommandLine;
  }
  // Each step is bounded; the watchdog ends what nothing else does (a
  // connect-timeout in the option files overrides the check's).
  RequestWatchdog watchdog;
  SelfCheck check(out, user);
  return check.Run();
}

int Version(int argc, char** /*argv*/, FILE* out) {
  if (argc != 0) return kBadCommandLine;
  fprintf(out, "vxml.cgi %s\n", VXML_VERSION);
  return 0;
}

// Deletes every idle session file at once; messages go to standard error.
int CleanSessions(int argc, char** /*argv*/, FILE* /*out*/) {
  if (argc != 0) return kBadCommandLine;
  return CleanSessionsNow(SitePath(kSessionDir), kSessionPrefix,
                          kSessionIdleSeconds, stderr);
}

int Help(int argc, char** argv, FILE* out);

const Command kCommands[] = {
    {"--check", " [--user NAME]",
     "check the settings file, the database, the directory and the session "
     "directory; with NAME also the web user's portal settings and voicemail "
     "archive",
     Check},
    {"--clean-sessions", "",
     "delete the idle session files now (run by vxml-sessionclean.timer)",
     CleanSessions},
    {"--version", "", "print the version", Version},
    {"--help", "", "print this text", Help},
};

void PrintUsage(FILE* out) {
  const char* lead = "usage:";
  for (const Command& command : kCommands) {
    fprintf(out, "%-6s vxml.cgi %s%s\n         %s\n", lead, command.name,
            command.arguments, command.purpose);
    lead = "";
  }
}

int Help(int argc, char** /*argv*/, FILE* out) {
  if (argc != 0) return kBadCommandLine;
  PrintUsage(out);
  return 0;
}

}  // namespace

bool IsCommandLineCall() {
  return getenv("REQUEST_METHOD") == nullptr &&
         getenv("GATEWAY_INTERFACE") == nullptr &&
         getenv("QUERY_STRING") == nullptr;
}

int RunCommandLine(int argc, char** argv, FILE* out, FILE* err) {
  if (argc >= 2) {
    for (const Command& command : kCommands) {
      if (strcmp(argv[1], command.name) != 0) continue;
      const int status = command.run(argc - 2, argv + 2, out);
      if (status != kBadCommandLine) return status;
      break;
    }
  }
  PrintUsage(err);
  return kBadCommandLine;
}
