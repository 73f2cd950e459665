// An existing file opened as a stdio stream under an exclusive lock, taken
// with a 10-second time-out; the lock serialises the processes that read and
// write one session file.
//
// The time-out uses the process-wide SIGALRM and real-time interval timer
// (the one alarm() sets): while a LockedFile is being constructed nothing
// else in the process may rely on them. The previous SIGALRM action is
// restored and the timer cancelled on every path.
// Not for use by several threads at once.
#ifndef CGIFRAMEWORK_LOCKEDFILE_H_
#define CGIFRAMEWORK_LOCKEDFILE_H_

#include <csignal>
#include <cstdio>

class LockedFile {
 public:
  // Opens `path` read-only for mode "r", for reading and writing in place
  // for "r+", otherwise write-only for appending; the file is never created.
  // Only a regular file is opened: a symbolic link as the last component is
  // never followed, and opening never blocks (a FIFO is refused at once).
  // When the file cannot be opened (it does not exist, access is denied) the
  // object holds a null stream and nothing is thrown. Otherwise waits up to
  // 10 seconds for an exclusive lock; in write mode ("w", "a") then empties
  // the file. Finally opens a stdio stream on it with `mode`.
  //
  // Throws (const char*), after closing the file:
  //   "LockedFile: not a regular file" (a symbolic link, FIFO, socket,
  //   device or directory),
  //   "LockedFile: sigprocmask() failed", "LockedFile: sigaction() failed",
  //   "LockedFile: flock(LOCK_EX) timeout" (not locked within 10 seconds),
  //   "LockedFile: flock(LOCK_EX) failed", "LockedFile: ftruncate() failed",
  //   "LockedFile: lseek() failed", "LockedFile: fdopen() failed".
  LockedFile(const char* path, const char* mode);
  // Closes the stream, which flushes it and releases the lock.
  ~LockedFile();
  LockedFile(const LockedFile&) = delete;
  LockedFile& operator=(const LockedFile&) = delete;

  // The locked stream, or null when the file could not be opened.
  operator FILE*();

  // Time allowed for the lock, in milliseconds: kLockTimeoutMs unless
  // changed with SetLockTimeout (tests shorten it; it applies to files opened
  // later). A request variable VXML_LOCK_TIMEOUT_MS (set by the web server's
  // configuration, never by a client) of 1 to that many milliseconds
  // shortens it for that request: the test servers do, so that a test of
  // the time-out need not wait the production time.
  static constexpr int kLockTimeoutMs = 10000;
  static int lock_timeout_ms;
  static void SetLockTimeout(int ms);
  // The time allowed for the current request's locks, as above.
  static int LockTimeoutMs();

  FILE* fp;  // stdio stream, null when the file could not be opened
  int fd;    // the locked descriptor, -1 when the file could not be opened
};

// Set by flock_timeout when the lock wait's alarm fires.
extern volatile sig_atomic_t flock_timed_out;
// SIGALRM handler of the lock wait: sets flock_timed_out.
void flock_timeout(int sig);

#endif  // CGIFRAMEWORK_LOCKEDFILE_H_
