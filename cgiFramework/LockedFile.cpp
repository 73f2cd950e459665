#include "cgiFramework/LockedFile.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "cgiFramework/RequestInput.h"
#include "kernel/OSFile.h"

volatile sig_atomic_t flock_timed_out = 0;

void flock_timeout(int /*sig*/) { flock_timed_out = 1; }

int LockedFile::lock_timeout_ms = LockedFile::kLockTimeoutMs;

void LockedFile::SetLockTimeout(int ms) { lock_timeout_ms = ms; }

int LockedFile::LockTimeoutMs() {
  const char* text = RequestParam("VXML_LOCK_TIMEOUT_MS");
  if (text == nullptr || *text == '\0') return lock_timeout_ms;
  char* end = nullptr;
  errno = 0;
  const long ms = strtol(text, &end, 10);
  if (errno != 0 || *end != '\0' || ms < 1 || ms >= lock_timeout_ms) {
    return lock_timeout_ms;
  }
  return static_cast<int>(ms);
}

namespace {

// Starts (or, with 0, cancels) the process's real-time interval timer, whose
// expiry raises SIGALRM once.
void SetAlarm(int ms) {
  itimerval timer{};
  timer.it_value.tv_sec = ms / 1000;
  timer.it_value.tv_usec = (ms % 1000) * 1000;
  setitimer(ITIMER_REAL, &timer, nullptr);
}

// Waits for an exclusive lock on `fd` with the SIGALRM time-out. Throws the
// lock texts; the caller closes `fd`.
void LockWithTimeout(int fd) {
  struct sigaction timeout_action;
  memset(&timeout_action, 0, sizeof timeout_action);
  timeout_action.sa_handler = flock_timeout;
  timeout_action.sa_flags = 0;  // no restart: flock must see EINTR
  if (sigprocmask(SIG_SETMASK, nullptr, &timeout_action.sa_mask) != 0) {
    throw "LockedFile: sigprocmask() failed";
  }
  struct sigaction previous;
  if (sigaction(SIGALRM, &timeout_action, &previous) != 0) {
    throw "LockedFile: sigaction() failed";
  }
  flock_timed_out = 0;
  SetAlarm(LockedFile::LockTimeoutMs());
  const char* error = nullptr;
  while (flock(fd, LOCK_EX) != 0) {
    if (errno != EINTR) {
      error = "LockedFile: flock(LOCK_EX) failed";
      break;
    }
    if (flock_timed_out) {
      error = "LockedFile: flock(LOCK_EX) timeout";
      break;
    }
  }
  SetAlarm(0);
  sigaction(SIGALRM, &previous, nullptr);
  if (error != nullptr) throw error;
}

// Empties the file behind `fd` and moves to its start.
void Truncate(int fd) {
  int rc;
  do {
    rc = ftruncate(fd, 0);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) throw "LockedFile: ftruncate() failed";
  off_t pos;
  do {
    pos = lseek(fd, 0, SEEK_SET);
  } while (pos == static_cast<off_t>(-1) && errno == EINTR);
  if (pos == static_cast<off_t>(-1)) throw "LockedFile: lseek() failed";
}

// True when OpenRegularFile failed because `path` is something other than a
// regular file: a symbolic link (ELOOP), a FIFO or socket without a reader
// (ENXIO), a directory (EISDIR), or any other kind (EINVAL).
bool IsRefused(int error) {
  return error == ELOOP || error == ENXIO || error == EISDIR || error == EINVAL;
}

}  // namespace

LockedFile::LockedFile(const char* path, const char* mode)
    : fp(nullptr), fd(-1) {
  bool reading = mode[0] == 'r';
  int flags = O_WRONLY | O_APPEND;
  if (reading) flags = mode[1] == '+' ? O_RDWR : O_RDONLY;
  fd = OpenRegularFile(path, flags, OSLinks::kRefuse);
  if (fd < 0) {
    if (IsRefused(errno)) throw "LockedFile: not a regular file";
    return;
  }
  try {
    LockWithTimeout(fd);
    if (!reading) Truncate(fd);
    do {
      fp = fdopen(fd, mode);
    } while (fp == nullptr && errno == EINTR);
    if (fp == nullptr) throw "LockedFile: fdopen() failed";
  } catch (const char*) {
    close(fd);
    fd = -1;
    throw;
  }
}

LockedFile::~LockedFile() {
  if (fp != nullptr) fclose(fp);
}

LockedFile::operator FILE*() { return fp; }
