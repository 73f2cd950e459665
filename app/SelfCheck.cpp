#include "app/SelfCheck.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "app/PortalContext.h"
#include "app/RequestLog.h"
#include "app/VXML.h"
#include "app/VXMLRequest.h"
#include "cgiFramework/SQLSession.h"
#include "cgiFramework/SitePaths.h"
#include "cgiFramework/WebArgument.h"
#include "cgiFramework/WebSession.h"
#include "common/UString.h"
#include "kernel/OSFile.h"
#include "ldap/LDAPClient.h"
#include "ldap/LDAPSession.h"

namespace {

// A key of the settings file as the program reads it.
struct SettingsKey {
  const char* name;
  bool required;           // a missing key is a failure
  bool secret;             // the value is never shown
  const char* when_unset;  // what the program does without it
};

const SettingsKey kKeys[] = {
    {"serverAddress", true, false, nullptr},
    {"user", true, false, nullptr},
    {"password", false, true, "the database user logs in without password"},
    {"db", true, false, nullptr},
    {"ldapserver", true, false, nullptr},
    {"ldapuser", false, false, "the directory bind is anonymous"},
    {"ldappassword", false, true, "the directory bind has no password"},
    {kLDAPVersionKey, false, false,
     "LDAP version 2, then 3 when the directory refuses 2"},
    {kLDAPBaseKey, false, false,
     "the call-back search uses the base \"\" (the directory's default)"},
    {kRequestLogKey, false, false, "one line per request goes to syslog"},
    {"maxPostSize", false, false, "request bodies up to 16 MiB"},
    {kSessionCleanupKey, false, false,
     "idle sessions are deleted after answers"},
};

// The search the call-back page makes, for any number.
const char kSearchFilter[] = "(GlobalTelephoneNumber=*)";
// LDAP result codes the check explains.
constexpr int kProtocolError = 2;
constexpr int kSizeLimitExceeded = 4;
constexpr int kNoSuchObject = 32;
constexpr int kInvalidDNSyntax = 34;
constexpr int kInvalidCredentials = 49;

const SettingsKey* FindKey(const char* name) {
  for (const SettingsKey& key : kKeys) {
    if (strcmp(key.name, name) == 0) return &key;
  }
  return nullptr;
}

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

class SelfCheck {
 public:
  SelfCheck(FILE* out, const char* user) : out_(out), user_(user) {}

  // Runs every check; returns the exit status.
  int Run();

 private:
  void Pass(const char* what) { Print("ok  ", what, nullptr); }
  void Fail(const char* what, const char* fix) {
    ++failures_;
    Print("FAIL", what, fix);
  }
  void Skip(const char* what, const char* why) { Print("skip", what, why); }
  // Adds `value` (when not empty) to the texts never printed.
  void AddSecret(const char* value);
  // Writes one line, every secret replaced by "***".
  void Print(const char* status, const char* what, const char* detail);

  bool CheckSettingsFile();
  void CheckKeys(PortalContext& context);
  bool CheckDatabase(PortalContext& context);
  void CheckSettingsRow(PortalContext& context);
  void CheckDirectory(PortalContext& context);
  void DiagnoseBind(PortalContext& context, const char* error);
  void CheckSearch(PortalContext& context, LDAPSession* session);
  void CheckSessionDirectory();
  void CheckArchive(PortalContext& context, bool known_host);

  // The settings file's Hidden argument `name`.
  static char* Setting(PortalContext& context, const char* name) {
    return context.GetWebArgument(name, WebArgument::Hidden);
  }

  FILE* const out_;
  const char* const user_;
  const UString settings_path_ = SitePath(kPortalSettingsFile);
  std::vector<UString> secrets_;
  int failures_ = 0;
};

void SelfCheck::Print(const char* status, const char* what,
                      const char* detail) {
  UString line;
  line.Format("%s %s%s%s", status, what, detail != nullptr ? ": " : "",
              detail != nullptr ? detail : "");
  for (const UString& secret : secrets_) line.ReplaceAll(secret, "***");
  fprintf(out_, "%s\n", static_cast<char*>(line));
}

int SelfCheck::Run() {
  const bool have_settings = CheckSettingsFile();
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
  for (const SettingsKey& key : kKeys) {
    if (key.secret && context->HasWebArgument(key.name)) {
      AddSecret(Setting(*context, key.name));
    }
  }
  if (have_settings) CheckKeys(*context);
  bool known_host = false;
  if (CheckDatabase(*context)) {
    CheckSettingsRow(*context);
    known_host = !context->hostName.IsEmpty();
  }
  CheckDirectory(*context);
  CheckSessionDirectory();
  CheckArchive(*context, known_host);
  return failures_ == 0 ? 0 : 1;
}

bool SelfCheck::CheckSettingsFile() {
  UString what;
  int fd = OpenRegularFile(settings_path_, O_RDONLY, OSLinks::kFollow);
  if (fd < 0) {
    what.Format("settings file %s: %s", static_cast<char*>(settings_path_),
                strerror(errno));
    Fail(what,
         "create it as a regular file readable by the web server's user, with "
         "one key=value per line (see the README's settings keys)");
    return false;
  }
  close(fd);
  what.Format("settings file %s read", static_cast<char*>(settings_path_));
  Pass(what);
  return true;
}

void SelfCheck::AddSecret(const char* value) {
  if (*value != '\0') secrets_.emplace_back(value);
}

void SelfCheck::CheckKeys(PortalContext& context) {
  UString what;
  for (WebArgument* argument : context.arguments) {
    if (argument->type != WebArgument::Hidden) continue;
    const SettingsKey* key = FindKey(argument->name);
    if (key == nullptr) {
      what.Format("setting %s found (not read by vxml.cgi)",
                  static_cast<char*>(argument->name));
    } else if (key->secret) {
      what.Format("setting %s is set (not shown)", key->name);
    } else {
      what.Format("setting %s=%s", key->name,
                  static_cast<char*>(argument->value));
    }
    Pass(what);
  }
  for (const SettingsKey& key : kKeys) {
    if (context.HasWebArgument(key.name)) continue;
    if (key.required) {
      what.Format("setting %s missing", key.name);
      UString fix;
      fix.Format("add %s=... to %s", key.name,
                 static_cast<char*>(settings_path_));
      Fail(what, fix);
    } else {
      what.Format("setting %s not set: %s", key.name, key.when_unset);
      Pass(what);
    }
  }
  const char* version = Setting(context, kLDAPVersionKey);
  if (*version != '\0' && strcmp(version, "2") != 0 &&
      strcmp(version, "3") != 0) {
    what.Format("setting ldapversion=%s is not a protocol version", version);
    Fail(what, "set ldapversion=2 or ldapversion=3, or remove it");
  }
}

bool SelfCheck::CheckDatabase(PortalContext& context) {
  UString what;
  what.Format("database \"%s\" on %s as user %s", Setting(context, "db"),
              Setting(context, "serverAddress"), Setting(context, "user"));
  try {
    context.GetSQLSession();
  } catch (const char* error) {
    const UString text = PlainText(error);
    const char* fix =
        "see the database's message; the option group [SQLSession] of "
        "my.cnf (under MYSQL_HOME) sets port, socket and time-outs";
    if (strstr(text, "Access denied") != nullptr) {
      fix =
          "fix user= and password= in the settings file, or grant the "
          "user access to the database";
    } else if (strstr(text, "Unknown database") != nullptr) {
      fix = "fix db= in the settings file, or create the database";
    } else if (strstr(text, "connect") != nullptr ||
               strstr(text, "Lost connection") != nullptr) {
      fix =
          "start MariaDB, or fix serverAddress= in the settings file (port "
          "and socket: option group [SQLSession] of my.cnf under "
          "MYSQL_HOME)";
    }
    what += ": ";
    what += text;
    Fail(what, fix);
    return false;
  }
  what += ": connected";
  Pass(what);
  return true;
}

void SelfCheck::CheckSettingsRow(PortalContext& context) {
  UString what;
  what.Format("portal settings of user \"%s\"", user_);
  try {
    if (!context.LookUpSettings(user_)) {
      what += ": no row for this user at the portal Lumera";
      Fail(what,
           "give the user a CustomerContact whose customer has a "
           "VirtualCallServer on the VirtualHost 'Lumera', or check another "
           "user with --user NAME");
      return;
    }
  } catch (const char* error) {
    what += ": ";
    what += PlainText(error);
    Fail(what, "the portal database lacks the tables or columns it needs");
    return;
  }
  // The call server's row holds passwords too.
  AddSecret(context.primaryLDAPPassword);
  AddSecret(context.voicemailFTPPassword);
  UString found;
  found.Format(": customer %d, contact %d, call server host \"%s\"",
               context.customerId, context.contactId,
               static_cast<char*>(context.hostName));
  what += found;
  Pass(what);
}

void SelfCheck::CheckDirectory(PortalContext& context) {
  LDAPSession* session = nullptr;
  try {
    session = context.GetLDAPSession(false);
  } catch (const char* error) {
    DiagnoseBind(context, error);
    return;
  }
  UString what;
  what.Format("directory %s:%u", static_cast<char*>(context.primaryLDAPServer),
              LDAPSession::kPort);
  if (session == nullptr || session->ldap_client == nullptr) {
    what += ": no server";
    Fail(what, "set ldapserver= in the settings file");
    return;
  }
  what += ": bound as ";
  what += context.primaryLDAPUser.IsEmpty()
              ? "(anonymous)"
              : static_cast<char*>(context.primaryLDAPUser);
  Pass(what);
  CheckSearch(context, session);
}

// The program's bind failed with `error`: binds once more, directly, to
// name the cause.
void SelfCheck::DiagnoseBind(PortalContext& context, const char* error) {
  UString what;
  what.Format("directory %s:%u", static_cast<char*>(context.primaryLDAPServer),
              LDAPSession::kPort);
  if (strncmp(error, "Invalid ldapversion", 19) == 0) {
    what += ": ";
    what += error;
    Fail(what, "set ldapversion=2 or ldapversion=3, or remove it");
    return;
  }
  LDAPClient client(context.primaryLDAPServer, LDAPSession::kPort, nullptr, 0);
  if (client.state != LDAPClient::CONNECTED) {
    what += ": cannot connect";
    Fail(what,
         "start the directory server, or fix ldapserver= in the settings "
         "file");
    return;
  }
  // The bind again, with the version the settings ask for (empty: 2, then
  // 3 when 2 is refused), so that its result tells why the session's failed.
  const int code =
      client.SimpleBind(context.primaryLDAPUser, context.primaryLDAPPassword,
                        atoi(Setting(context, kLDAPVersionKey)));
  UString cause;
  const char* fix = "see the directory server's log";
  switch (code) {
    case kProtocolError:
      cause = "directory refused LDAP version 2";
      fix = "allow it in slapd.conf (allow bind_v2) or set ldapversion=3";
      break;
    case kInvalidCredentials:
      cause.Format("directory refused the bind as %s: invalid credentials",
                   static_cast<char*>(context.primaryLDAPUser));
      fix = "fix ldapuser= and ldappassword= in the settings file";
      break;
    case kInvalidDNSyntax:
      cause.Format("directory refused the bind name %s: not a DN",
                   static_cast<char*>(context.primaryLDAPUser));
      fix = "set ldapuser= to a DN such as cn=admin,o=example";
      break;
    default:
      cause.Format("%s (bind result %d)", static_cast<char*>(PlainText(error)),
                   code);
      if (code == 0) fix = "check ldapversion= in the settings file";
  }
  what += ": ";
  what += cause;
  Fail(what, fix);
}

void SelfCheck::CheckSearch(PortalContext& context, LDAPSession* session) {
  const char* base = Setting(context, kLDAPBaseKey);
  static const char* const kAttributes[] = {"cn", nullptr};
  const int code =
      session->Search(base, 2, kSearchFilter, kAttributes, 0, 1, 0, 0);
  const bool found = code == 0 && *session->CurrentObject() != '\0';
  session->Flush();
  UString what;
  what.Format("directory search under base \"%s\" for %s", base, kSearchFilter);
  if (code == 0 || code == kSizeLimitExceeded) {
    what += found || code != 0 ? ": found an entry" : ": no entry (yet)";
    Pass(what);
  } else if (code == kNoSuchObject) {
    what += ": no such object";
    Fail(what,
         "the directory has no default search base: set ldapbase= to its "
         "suffix (e.g. ldapbase=o=example)");
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

}  // namespace

bool IsSelfCheckCall(int argc, char** argv) {
  return argc >= 2 && strcmp(argv[1], "--check") == 0 &&
         getenv("REQUEST_METHOD") == nullptr;
}

int RunSelfCheck(int argc, char** argv, FILE* out) {
  const char* user = getenv("REMOTE_USER");
  if (argc == 4 && strcmp(argv[2], "--user") == 0) {
    user = argv[3];
  } else if (argc != 2) {
    fprintf(out, "usage: %s --check [--user NAME]\n", argv[0]);
    return 2;
  }
  SelfCheck check(out, user != nullptr ? user : "");
  return check.Run();
}
