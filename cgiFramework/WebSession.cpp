#include "cgiFramework/WebSession.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "cgiFramework/LockedFile.h"
#include "cgiFramework/SitePaths.h"
#include "cgiFramework/WebContext.h"

namespace {

// Longest session identifier accepted: 20 digits hold any 64-bit number.
constexpr size_t kMaxSessionIdDigits = 20;

// True when `id` is a decimal number of 1 to 20 digits, the only identifiers
// that name session files.
bool IsValidSessionId(const char* id) {
  size_t n = strspn(id, "0123456789");
  return n > 0 && n <= kMaxSessionIdDigits && id[n] == '\0';
}

// The line format "name=value" shared with the portal's other programs has
// no escapes. A line end inside a value would add variables of its own to
// the file, so CR and LF in values are written percent-encoded ("%0D",
// "%0A", as in the URLs that the page history keeps); every other value is
// written byte for byte. A name that cannot stand before the "=" of one line
// is not written at all: names come from the program, never from a request.
bool IsStorableName(const char* name) {
  return name[0] != '\0' && strpbrk(name, "=\r\n") == nullptr;
}

void AppendFileValue(std::string& line, const char* value) {
  for (const char* p = value; *p != '\0'; ++p) {
    if (*p == '\n') {
      line += "%0A";
    } else if (*p == '\r') {
      line += "%0D";
    } else {
      line += *p;
    }
  }
}

// Makes the variable of one session file line: the name up to the first
// "=", the value after it up to the first CR or LF. A line without "="
// names a variable with an empty value.
WebSessionVar* ParseFileLine(char* line) {
  auto* var = new WebSessionVar;
  char* equals = strchr(line, '=');
  if (equals == nullptr) {
    line[strcspn(line, "\r\n")] = '\0';
  } else {
    *equals = '\0';
    equals[1 + strcspn(equals + 1, "\r\n")] = '\0';
    var->value = equals + 1;
  }
  var->name = line;
  return var;
}

// A getline buffer, freed when it goes out of scope.
struct LineBuffer {
  LineBuffer() = default;
  LineBuffer(const LineBuffer&) = delete;
  LineBuffer& operator=(const LineBuffer&) = delete;
  ~LineBuffer() { free(text); }
  char* text = nullptr;
  size_t capacity = 0;
};

// A new identifier from 64 bits of the kernel's random source.
UString RandomSessionId() {
  uint64_t number;
  size_t got = 0;
  while (got < sizeof number) {
    ssize_t n = getrandom(reinterpret_cast<char*>(&number) + got,
                          sizeof number - got, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) throw "Unable to create session identifier";
    got += static_cast<size_t>(n);
  }
  UString id;
  id.Format("%" PRIu64, number);
  return id;
}

// Creates the empty file `path`; false when a file of that name exists
// already. Throws "Unable to create session file" on any other failure.
bool CreateExclusive(const char* path) {
  int fd;
  do {
    fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  } while (fd < 0 && errno == EINTR);
  if (fd >= 0) {
    close(fd);
    return true;
  }
  if (errno == EEXIST) return false;
  throw "Unable to create session file";
}

// The value of the environment variable `name`, "" when it is unset.
const char* EnvOrEmpty(const char* name) {
  const char* value = getenv(name);
  return value != nullptr ? value : "";
}

}  // namespace

// --- WebSessionVar -----------------------------------------------------------

WebSessionVar::WebSessionVar() = default;

WebSessionVar::~WebSessionVar() = default;

bool WebSessionVar::IsKey(char* key) { return key != nullptr && name == key; }

WebSessionVar::operator char*() { return value.IsEmpty() ? def : value; }

WebSessionVar::operator int() {
  return static_cast<int>(strtol(static_cast<char*>(*this), nullptr, 10));
}

void WebSessionVar::SetDef(const char* d) { def = d; }

WebSessionVar& WebSessionVar::operator=(const char* v) {
  value = v;
  return *this;
}

WebSessionVar& WebSessionVar::operator=(int v) {
  value.Format("%d", v);
  return *this;
}

bool WebSessionVar::operator==(const char* s) {
  return s != nullptr && value == s;
}

bool WebSessionVar::operator!=(const char* s) { return !(*this == s); }

// --- The context's session ---------------------------------------------------

void WebContext::InitSession(const char* prefix, int seconds,
                             bool useArguments) {
  session_prefix = prefix;
  if (useArguments) {
    GetWebArgument("sessionId", WebArgument::Any).type = WebArgument::Context;
  }
  if (seconds != 0) CleanupDir(kSessionDir, prefix, seconds);
  ScanWebSessionVars(nullptr);
}

bool WebContext::ScanWebSessionVars(const char* sessionId) {
  if (sessionId != nullptr && IsValidSessionId(sessionId)) {
    session_id = sessionId;
  }
  if (session_prefix.IsEmpty()) return false;
  if (session_id.IsEmpty()) AdoptRequestSessionId();
  if (session_id.IsEmpty()) return false;
  session_vars.Flush();

  UString path = SessionPath();
  // Until the file has been read, a failure must not let this request
  // overwrite it at the end.
  session_locked = true;
  LockedFile file(path, "r");
  session_locked = false;
  if (file == nullptr) {
    CreateSessionId();
    return false;
  }
  // Lines of any length: a line is never split into further variables.
  LineBuffer line;
  while (getline(&line.text, &line.capacity, file) >= 0) {
    session_vars.Append(ParseFileLine(line.text));
  }

  UString saved_addr(GetWebSessionVar("REMOTE_ADDR").value);
  if (saved_addr == EnvOrEmpty("REMOTE_ADDR")) return true;
  RefuseSession(path, saved_addr);
  return false;
}

void WebContext::AdoptRequestSessionId() {
  if (WebArgument* arg = FindWebArgument("sessionId", WebArgument::Any)) {
    char* id = *arg;
    if (IsValidSessionId(id)) {
      session_id = id;
      return;
    }
    // Anything else is no identifier, and is not repeated in URLs either.
    arg->value = "";
    arg->def = "";
  }
  if (WebCookie* cookie = FindWebCookie("sessionId")) {
    if (IsValidSessionId(cookie->value)) session_id = cookie->value;
  }
}

// The session belongs to another client address. Its file is neither shown
// to nor overwritten by this request, which goes on with a session of its
// own.
void WebContext::RefuseSession(const char* path, const char* saved_addr) {
  WebArgument& invalid = GetWebArgument("invalidSessionId", WebArgument::Any);
  invalid = session_id;
  invalid.type = WebArgument::Hidden;
  fprintf(stderr, "WebContext::Invalid %s saved addr=%s \n", path, saved_addr);
  session_vars.Flush();
  session_id = "";
  CreateSessionId();
}

void WebContext::CreateSessionId() {
  if (session_prefix.IsEmpty()) return;
  if (session_id.IsEmpty() || !IsValidSessionId(session_id) ||
      !CreateExclusive(SessionPath())) {
    do {
      session_id = RandomSessionId();
    } while (!CreateExclusive(SessionPath()));
  }
  session_locked = false;
  if (WebArgument* arg = FindWebArgument("sessionId", WebArgument::Any)) {
    *arg = session_id;
  } else {
    GetWebCookie("sessionId") = session_id;
  }
  SetWebSessionVar("REMOTE_ADDR", EnvOrEmpty("REMOTE_ADDR"));
  SetWebSessionVar("REMOTE_PORT", EnvOrEmpty("REMOTE_PORT"));
}

void WebContext::SaveWebSessionVars(const char* sessionId) {
  if (session_prefix.IsEmpty()) return;
  if (sessionId != nullptr && IsValidSessionId(sessionId) &&
      session_id != sessionId) {
    session_id = sessionId;
    session_locked = false;
  }
  if (session_id.IsEmpty() || session_locked) return;
  LockedFile file(SessionPath(), "w");
  if (file == nullptr) return;  // the session was deleted meanwhile
  OSListIterator it(&session_vars);
  std::string line;
  while (OSListObj* obj = it.Next()) {
    auto* var = static_cast<WebSessionVar*>(obj);
    if (!IsStorableName(var->name)) continue;
    line.assign(var->name);
    line += '=';
    AppendFileValue(line, var->value);
    line += '\n';
    fwrite(line.data(), 1, line.size(), file);
  }
  if (fflush(file) != 0 || ferror(file)) throw "Unable to write session file";
}

WebSessionVar* WebContext::FindWebSessionVar(const char* name) {
  // The keyed lookup only reads the key.
  return static_cast<WebSessionVar*>(
      session_vars.Find(const_cast<char*>(name)));
}

WebSessionVar& WebContext::GetWebSessionVar(const char* name) {
  if (session_id.IsEmpty()) CreateSessionId();
  if (WebSessionVar* var = FindWebSessionVar(name)) return *var;
  auto* var = new WebSessionVar;
  var->name = name;
  session_vars.Append(var);
  return *var;
}

bool WebContext::HasWebSessionVar(const char* name) {
  return FindWebSessionVar(name) != nullptr;
}

void WebContext::SetWebSessionVar(const char* name, const char* value) {
  GetWebSessionVar(name) = value;
}

void WebContext::SetWebSessionVar(const char* name, int value) {
  GetWebSessionVar(name) = value;
}

char* WebContext::GetWebSessionId() { return session_id; }

void WebContext::DeleteSession() {
  if (session_prefix.IsEmpty() || session_id.IsEmpty()) return;
  unlink(SessionPath());
}

UString WebContext::SessionPath() {
  UString path;
  path.Format("%s/%s_%s", kSessionDir, static_cast<char*>(session_prefix),
              static_cast<char*>(session_id));
  return SitePath(path);
}

void WebContext::CleanupDir(const char* path, const char* contains,
                            int seconds) {
  UString dir = SitePath(path);
  DIR* listing = opendir(dir);
  if (listing == nullptr) return;
  if (contains == nullptr) contains = "";
  time_t now = time(nullptr);
  while (struct dirent* entry = readdir(listing)) {
    const char* name = entry->d_name;
    if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0) continue;
    if (name[0] == '+' || entry->d_type == DT_DIR) continue;
    if (strstr(name, contains) == nullptr) continue;
    UString file = dir + "/" + name;
    struct stat st;
    if (stat(file, &st) != 0 || S_ISDIR(st.st_mode)) continue;
    if (st.st_atime + seconds < now) unlink(file);
  }
  closedir(listing);
}
