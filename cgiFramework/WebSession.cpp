#include "cgiFramework/WebSession.h"

#include <dirent.h>
#include <fcntl.h>
#include <strings.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <string>

#include "cgiFramework/LockedFile.h"
#include "cgiFramework/RequestInput.h"
#include "cgiFramework/SitePaths.h"
#include "cgiFramework/WebContext.h"
#include "kernel/OSFile.h"
#include "kernel/OSTime.h"

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

// A file descriptor, closed when it goes out of scope.
struct ScopedFd {
  explicit ScopedFd(int descriptor) : fd(descriptor) {}
  ScopedFd(const ScopedFd&) = delete;
  ScopedFd& operator=(const ScopedFd&) = delete;
  ~ScopedFd() {
    if (fd >= 0) close(fd);
  }
  int fd;
};

void ReportStep(SessionSaveStep step) {
  if (session_save_hook != nullptr) session_save_hook(step);
}

// Writes all of `content` to `fd` at `offset`; false with errno set on
// failure (ENOSPC when the disk takes nothing more).
bool WriteAt(int fd, const std::string& content, off_t offset) {
  size_t done = 0;
  while (done < content.size()) {
    ssize_t n = pwrite(fd, content.data() + done, content.size() - done,
                       offset + static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = ENOSPC;
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

// Appends the whole content of `fd` to `content`; false on a read error.
bool ReadAll(int fd, std::string& content) {
  char buffer[8192];
  for (;;) {
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) return true;
    content.append(buffer, static_cast<size_t>(n));
  }
}

// Flushes the file `fd` to the disk when `sync` is set.
bool Sync(int fd, bool sync) { return !sync || fsync(fd) == 0; }

// Replaces the content of the file `fd` by `content` in place: written from
// its start, then cut to its length and, with `sync`, flushed to the disk.
bool RewriteInPlace(int fd, const std::string& content, bool sync) {
  if (!WriteAt(fd, content, 0)) return false;
  ReportStep(SessionSaveStep::kFileWritten);
  int rc;
  do {
    rc = ftruncate(fd, static_cast<off_t>(content.size()));
  } while (rc != 0 && errno == EINTR);
  if (rc != 0 || !Sync(fd, sync)) return false;
  ReportStep(SessionSaveStep::kFileComplete);
  return true;
}

// Removes the directory entry `path`: a file of any kind, or an empty
// directory.
void RemoveEntry(const char* path) {
  if (unlink(path) != 0 && errno == EISDIR) rmdir(path);
}

// Removes `path` when it is there and not a regular file. A side file that
// is a link, FIFO or directory would make every save of its session fail.
// A directory that holds files stays, and the save fails.
void RemoveUnlessRegular(const char* path) {
  struct stat st;
  if (lstat(path, &st) == 0 && !S_ISREG(st.st_mode)) RemoveEntry(path);
}

// The side file of the session file `path`: "+<name>.save" beside it.
UString SidePath(const char* path) {
  const char* slash = strrchr(path, '/');
  size_t dir_length =
      slash != nullptr ? static_cast<size_t>(slash - path) + 1 : 0;
  return UString(std::string(path, dir_length).c_str()) + "+" +
         (path + dir_length) + ".save";
}

// Makes `side` hold `content`, complete or not at all: written under a
// temporary name, flushed to the disk (with `sync`), then renamed into place.
bool WriteSideFile(const UString& side, const std::string& content, bool sync) {
  UString temp = side + ".tmp";
  RemoveUnlessRegular(temp);
  bool written;
  {
    ScopedFd out(
        OpenRegularFile(temp, O_WRONLY | O_CREAT | O_TRUNC, OSLinks::kRefuse));
    if (out.fd < 0) return false;
    written = WriteAt(out.fd, content, 0) && Sync(out.fd, sync);
  }
  if (written) {
    ReportStep(SessionSaveStep::kSideWritten);
    RemoveUnlessRegular(side);
    written = rename(temp, side) == 0;
  }
  if (!written) {
    unlink(temp);
    return false;
  }
  ReportStep(SessionSaveStep::kSideComplete);
  return true;
}

// Saves `content` into the session file `path`, open for writing in place
// and locked as `fd`, through the side file (see SessionSaveStep). Throws
// "Unable to write session file"; when the side file is complete by then it
// stays, and the next load completes the save from it. With `sync` both
// files are flushed to the disk before the next step.
void WriteSessionFile(const char* path, int fd, const std::string& content,
                      bool sync) {
  UString side = SidePath(path);
  if (!WriteSideFile(side, content, sync) ||
      !RewriteInPlace(fd, content, sync)) {
    throw "Unable to write session file";
  }
  unlink(side);
}

// The content of the session file `path`, open and locked as `fd`. A side
// file left by an interrupted save holds the newest complete content: that
// content is returned and written over the session file, and the side file
// removed. Should that fail, the side file stays for the next load or save.
// Throws "Unable to read session file".
std::string ReadSessionFile(const char* path, int fd) {
  UString side = SidePath(path);
  std::string content;
  ScopedFd saved(OpenRegularFile(side, O_RDONLY, OSLinks::kRefuse));
  if (saved.fd >= 0 && ReadAll(saved.fd, content)) {
    ScopedFd out(OpenRegularFile(path, O_WRONLY, OSLinks::kRefuse));
    if (out.fd >= 0 && RewriteInPlace(out.fd, content, true)) unlink(side);
    return content;
  }
  content.clear();
  if (!ReadAll(fd, content)) throw "Unable to read session file";
  return content;
}

// Where and how the last InitSession of this process asked for clean-up.
struct CleanupRequest {
  std::string dir;     // the session directory, as a host path
  std::string prefix;  // the session file prefix
  int seconds = 0;     // the idle time; 0 for no clean-up
};

CleanupRequest& LastCleanupRequest() {
  static CleanupRequest request;
  return request;
}

// The later of the access and modification time of status `st`.
time_t LastReadOrWritten(const struct stat& st) {
  return st.st_atime > st.st_mtime ? st.st_atime : st.st_mtime;
}

// The last use of the session file `path` of status `st`: the later of its
// access and modification time, and of the modification time of the side
// file of an interrupted save, which holds the session's newest content.
time_t LastUse(const char* path, const struct stat& st) {
  time_t last = LastReadOrWritten(st);
  struct stat side;
  if (lstat(SidePath(path), &side) == 0 && S_ISREG(side.st_mode) &&
      side.st_mtime > last) {
    last = side.st_mtime;
  }
  return last;
}

// True when a file last used at `last_use` is idle for more than `seconds`
// seconds at `now`.
bool IsIdle(time_t last_use, int seconds, time_t now) {
  return last_use + seconds < now;
}

// Removes the session file `path` with the side files of its saves.
void RemoveSessionFiles(const char* path) {
  unlink(path);
  UString side = SidePath(path);
  RemoveEntry(side);
  RemoveEntry(side + ".tmp");
}

// True when `path` still names the locked file of status `locked`: nobody
// deleted or replaced it while this process waited for its lock.
bool StillNamed(const char* path, const struct stat& locked) {
  struct stat named;
  return lstat(path, &named) == 0 && named.st_ino == locked.st_ino &&
         named.st_dev == locked.st_dev;
}

// For the session file `path`, open and locked as `fd`: when it is idle for
// more than `seconds` seconds at `now`, deletes it with its side files and
// returns true, so that the caller goes on as for a missing file. A file
// that was deleted or replaced while this process waited for the lock
// counts as missing too, and is left alone.
bool ExpireIfIdle(const char* path, int fd, int seconds, time_t now) {
  struct stat locked;
  if (seconds <= 0 || fstat(fd, &locked) != 0) return false;
  if (!IsIdle(LastUse(path, locked), seconds, now)) return false;
  if (StillNamed(path, locked)) RemoveSessionFiles(path);
  return true;
}

// Deletes the idle session file `path`, with the side files of its saves,
// unless another process holds it locked or used it meanwhile.
void DeleteUnlessInUse(const UString& path, int seconds, time_t now) {
  ScopedFd file(OpenRegularFile(path, O_RDONLY, OSLinks::kRefuse));
  if (file.fd < 0 || flock(file.fd, LOCK_EX | LOCK_NB) != 0) return;
  struct stat locked;
  if (fstat(file.fd, &locked) != 0 ||
      !IsIdle(LastUse(path, locked), seconds, now) ||
      !StillNamed(path, locked)) {
    return;
  }
  RemoveSessionFiles(path);
}

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

// The value of the request variable `name`, "" when it is unset.
const char* EnvOrEmpty(const char* name) {
  const char* value = RequestParam(name);
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

// --- Session files ----------------------------------------------------------

void (*session_save_hook)(SessionSaveStep step) = nullptr;

void ParseSessionFile(const std::string& content,
                      OSTypedList<WebSessionVar>& vars) {
  std::string line;
  size_t start = 0;
  while (start < content.size()) {
    size_t end = content.find('\n', start);
    end = end == std::string::npos ? content.size() : end + 1;
    line.assign(content, start, end - start);
    vars.Append(ParseFileLine(&line[0]));
    start = end;
  }
}

std::string FormatSessionFile(OSTypedList<WebSessionVar>& vars) {
  std::string content;
  for (WebSessionVar* var : vars) {
    if (!IsStorableName(var->name)) continue;
    content += static_cast<char*>(var->name);
    content += '=';
    AppendFileValue(content, var->value);
    content += '\n';
  }
  return content;
}

// --- The context's session ---------------------------------------------------

void WebContext::InitSession(const char* prefix, int seconds,
                             bool useArguments) {
  session_prefix = prefix;
  if (useArguments) {
    GetWebArgument("sessionId", WebArgument::Any).type = WebArgument::Context;
  }
  session_idle_seconds = seconds;
  const bool scan_off = IsOffSetting(GetSetting(Setting::kSessionCleanup));
  CleanupRequest& cleanup = LastCleanupRequest();
  cleanup.dir = static_cast<char*>(SitePath(kSessionDir));
  cleanup.prefix = prefix != nullptr ? prefix : "";
  cleanup.seconds = scan_off ? 0 : seconds;
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
  {
    LockedFile file(path, "r");
    if (file == nullptr ||
        ExpireIfIdle(path, file.fd, session_idle_seconds, time(nullptr))) {
      CreateSessionId();
      return false;
    }
    ParseSessionFile(ReadSessionFile(path, file.fd), session_vars);
  }
  session_locked = false;

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
  UString path = SessionPath();
  LockedFile file(path, "r+");
  if (file == nullptr) return;  // the session was deleted meanwhile
  // Flushing to the disk guards the content against a power failure too; a
  // killed process cannot tear it either way.
  bool sync = strcmp(GetSetting(Setting::kSessionSync), "1") == 0;
  WriteSessionFile(path, file.fd, FormatSessionFile(session_vars), sync);
}

WebSessionVar* WebContext::FindWebSessionVar(const char* name) {
  return session_vars.FindKey(name);
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
  RemoveSessionFiles(SessionPath());
}

UString WebContext::SessionPath() {
  UString path;
  path.Format("%s/%s_%s", kSessionDir, static_cast<char*>(session_prefix),
              static_cast<char*>(session_id));
  return SitePath(path);
}

// --- Clean-up of idle sessions ----------------------------------------------
//
// Looking at every file of the session directory costs in proportion to the
// number of sessions, which callers control, so no request does it on its
// way. After its answer, a process offers to scan (CleanupIdleSessions),
// and the stamp file "+<prefix>.cleanup" in the session directory decides:
//
// - At most one process scans at a time: the scanner holds an exclusive
//   flock on the stamp, taken without waiting. A process that finds it
//   taken leaves the work to the holder.
// - At most once per interval (kSessionScanInterval, a minute): the stamp's
//   modification time is set to the start of each scan, and a process that
//   finds it less than one interval old scans nothing. An empty (new) stamp,
//   or one dated more than an interval ahead (the clock was set back), lets
//   the scan run. So a file idle for `seconds` is deleted at most one
//   interval late, as long as requests keep coming.
// - The scan runs in a process of its own, detached from the request's:
//   lighttpd ends the request's process as soon as the answer is complete,
//   and Apache holds the answer back until that process has ended and
//   closed every descriptor of the answer. Each scan works for at most
//   kSessionScanBudgetMs; the next interval goes on from there.
// - A session in use is never deleted: each idle file is locked with a
//   non-blocking flock before it is unlinked, and skipped when another
//   process holds it. Under the lock its times are read again (a request
//   may have used it meanwhile), and the path must still name it.
// - A stamp this process cannot use (not a regular file, owned by another
//   user, not writable) would stop every scan: it is reported on standard
//   error, at most once per interval, throttled by the stamp
//   "+<prefix>.cleanup-reported" the same way.
// The scan skips names starting with "+" (stamps, the side files of saves);
// the side files of a deleted session go with it.

void (*session_scan_hook)() = nullptr;

namespace {

// What claiming an interval on a stamp file gave.
enum class Claim { kClaimed, kNotDue, kUnusable };

UString StampPath(const char* dir, const char* contains, const char* suffix) {
  UString path;
  path.Format("%s/+%s.%s", dir, contains != nullptr ? contains : "", suffix);
  return path;
}

// True when an interval has passed since the stamp of status `st` was set,
// or it was never set, or it lies more than an interval ahead.
bool IsDue(const struct stat& st, time_t now, int interval) {
  return st.st_size == 0 || st.st_mtime + interval <= now ||
         st.st_mtime > now + interval;
}

// Stands for any owner in StampProblem.
constexpr uid_t kAnyOwner = static_cast<uid_t>(-1);

// What makes the stamp of status `st` unusable for the user `owner`, "" when
// nothing does. Setting its time needs the file's owner (or root, who
// passes kAnyOwner).
UString StampProblem(const struct stat& st, uid_t owner) {
  UString problem;
  if (!S_ISREG(st.st_mode)) {
    problem = "is not a regular file";
  } else if (owner != kAnyOwner && st.st_uid != owner) {
    problem.Format("belongs to uid %u, not to uid %u",
                   static_cast<unsigned>(st.st_uid),
                   static_cast<unsigned>(owner));
  } else if ((st.st_mode & S_IWUSR) == 0) {
    problem = "is not writable";
  }
  return problem;
}

// Claims the interval starting at `now` on the stamp `path` (made when
// missing): takes its lock without waiting and, when the interval is due,
// sets its time to `now`. While `stamp` stays open, other processes find
// the stamp taken.
Claim ClaimInterval(const char* path, time_t now, int interval,
                    ScopedFd& stamp) {
  struct stat st;
  stamp.fd = OpenRegularFile(path, O_RDWR | O_CREAT, OSLinks::kRefuse, &st);
  if (stamp.fd < 0) return Claim::kUnusable;
  if (flock(stamp.fd, LOCK_EX | LOCK_NB) != 0) return Claim::kNotDue;
  if (fstat(stamp.fd, &st) != 0) return Claim::kUnusable;
  if (!IsDue(st, now, interval)) return Claim::kNotDue;
  if (st.st_size == 0 && !WriteAt(stamp.fd, "\n", 0)) return Claim::kUnusable;
  struct timespec times[2] = {{0, UTIME_OMIT}, {now, 0}};
  if (futimens(stamp.fd, times) != 0) return Claim::kUnusable;
  return Claim::kClaimed;
}

// Looks at the stamp `path` without taking it: true when a scan is due.
// Sets `problem` when the stamp cannot be used by this process.
bool IsScanDue(const char* path, time_t now, int interval, UString* problem) {
  struct stat st;
  if (lstat(path, &st) != 0) {
    const int error = errno;
    if (error != ENOENT) *problem = strerror(error);
    return error == ENOENT;
  }
  *problem = StampProblem(st, geteuid() == 0 ? kAnyOwner : geteuid());
  return problem->IsEmpty() && IsDue(st, now, interval);
}

// Reports the unusable stamp `stamp` on standard error, once per interval.
// Should the stamp of the reports be unusable too, every call reports.
void ReportStampProblem(const char* dir, const char* contains,
                        const char* stamp, const char* problem, time_t now,
                        int interval) {
  ScopedFd reported(-1);
  if (ClaimInterval(StampPath(dir, contains, "cleanup-reported"), now, interval,
                    reported) == Claim::kNotDue) {
    return;
  }
  fprintf(stderr,
          "WebContext::CleanupIdleSessions stamp %s %s: idle sessions are not "
          "deleted; remove it (vxml.cgi --check)\n",
          stamp, problem);
}

// Runs `work` in a grandchild in a session of its own, with its standard
// streams on /dev/null and every other descriptor closed, and returns once
// the child between them has ended. False when the process could not be
// made.
bool RunDetached(const std::function<void()>& work) {
  pid_t child = fork();
  if (child < 0) return false;
  if (child == 0) {
    if (setsid() < 0 || fork() != 0) _exit(0);
    int null_fd = open("/dev/null", O_RDWR);
    if (null_fd < 0) _exit(1);
    for (int fd = 0; fd <= 2; ++fd) dup2(null_fd, fd);
    // Neither the caller's signal mask nor its SIGTERM handler (which would
    // log the request again) belongs to the scan.
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    signal(SIGTERM, SIG_DFL);
    if (close_range(3, ~0U, 0) != 0) {
      for (int fd = 3; fd < 65536; ++fd) close(fd);
    }
    work();
    _exit(0);
  }
  int status;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  return true;
}

}  // namespace

bool StartIdleSessionScan(const char* dir, const char* contains, int seconds,
                          time_t now, int interval) {
  UString stamp = StampPath(dir, contains, "cleanup");
  UString problem;
  if (!IsScanDue(stamp, now, interval, &problem)) {
    if (!problem.IsEmpty()) {
      ReportStampProblem(dir, contains, stamp, problem, now, interval);
    }
    return false;
  }
  return RunDetached([&] {
    if (session_scan_hook != nullptr) session_scan_hook();
    CleanupIdleSessionFiles(dir, contains, seconds, now, interval);
  });
}

bool CleanupIdleSessionFiles(const char* dir, const char* contains, int seconds,
                             time_t now, int interval, long budget_ms) {
  ScopedFd stamp(-1);
  if (ClaimInterval(StampPath(dir, contains, "cleanup"), now, interval,
                    stamp) != Claim::kClaimed) {
    return false;
  }
  DeleteIdleSessionFiles(dir, contains, seconds, now, budget_ms);
  return true;
}

bool DeleteIdleSessionFiles(const char* dir, const char* contains, int seconds,
                            time_t now, long budget_ms) {
  DIR* listing = opendir(dir);
  if (listing == nullptr) return false;
  if (contains == nullptr) contains = "";
  const long deadline = budget_ms < 0 ? -1 : os_monotonic_ms() + budget_ms;
  bool complete = true;
  while (struct dirent* entry = readdir(listing)) {
    if (deadline >= 0 && os_monotonic_ms() >= deadline) {
      complete = false;
      break;
    }
    const char* name = entry->d_name;
    if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0) continue;
    if (name[0] == '+' || entry->d_type == DT_DIR) continue;
    if (strstr(name, contains) == nullptr) continue;
    struct stat st;
    if (fstatat(dirfd(listing), name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    if (S_ISDIR(st.st_mode) || !IsIdle(LastReadOrWritten(st), seconds, now)) {
      continue;
    }
    UString path = UString(dir) + "/" + name;
    if (S_ISREG(st.st_mode)) {
      DeleteUnlessInUse(path, seconds, now);
    } else {
      unlink(path);  // a link or special file: no session, nobody locks it
    }
  }
  closedir(listing);
  return complete;
}

int CleanSessionsNow(const char* dir, const char* contains, int seconds,
                     FILE* err) {
  if (DeleteIdleSessionFiles(dir, contains, seconds, time(nullptr))) return 0;
  fprintf(err, "vxml.cgi: cannot read the session directory %s: %s\n", dir,
          strerror(errno));
  return 1;
}

bool CheckSessionStamp(const char* dir, const char* contains, UString* what,
                       UString* fix) {
  UString stamp = StampPath(dir, contains, "cleanup");
  what->Format("session clean-up stamp %s", static_cast<char*>(stamp));
  struct stat st, dir_status;
  if (lstat(stamp, &st) != 0) {
    const int error = errno;
    *what += ": ";
    *what += error == ENOENT ? "not made yet" : strerror(error);
    *fix = "let the web server's user read the session directory";
    return error == ENOENT;
  }
  // The web server's user owns the session directory.
  UString problem = StampProblem(
      st, stat(dir, &dir_status) == 0 ? dir_status.st_uid : geteuid());
  if (problem.IsEmpty()) {
    *what += " usable";
    return true;
  }
  *what += " ";
  *what += problem;
  *what += ": idle sessions are not deleted after answers";
  fix->Format("remove it (rm -r %s); the next request makes it anew",
              static_cast<char*>(stamp));
  return false;
}

bool WebContext::CleanupIdleSessions() {
  const CleanupRequest& request = LastCleanupRequest();
  if (request.seconds == 0) return false;
  return StartIdleSessionScan(request.dir.c_str(), request.prefix.c_str(),
                              request.seconds, time(nullptr));
}

void WebContext::CleanupDir(const char* path, const char* contains,
                            int seconds) {
  DeleteIdleSessionFiles(SitePath(path), contains, seconds, time(nullptr));
}
