// A whole-request time limit: whatever the peers do (a database that never
// answers, a directory that trickles, a client that stops reading), the
// process ends once the limit has passed since the watchdog was armed.
//
// The watchdog is a POSIX timer on CLOCK_MONOTONIC that delivers its own
// real-time signal, so the session lock's alarm()/SIGALRM time-out is left
// alone. When it fires, the handler writes one line to standard error with
// write(2) and ends the process with _exit(kExitStatus): nothing else is safe
// in a signal handler, so the session is not saved and the answer stays as
// far as it got.
//
// One watchdog per process; not thread-safe.
#ifndef REQUESTWATCHDOG_H_
#define REQUESTWATCHDOG_H_

#include <ctime>

// The longest a request may live, in milliseconds.
constexpr long kRequestTimeLimitMs = 30 * 1000;

class RequestWatchdog {
 public:
  // Exit status of a process that the watchdog ended.
  static constexpr int kExitStatus = 3;

  // Arms the watchdog for `limit_ms` milliseconds from now. When the timer
  // cannot be made, a line on standard error says so and the request runs
  // without a limit.
  explicit RequestWatchdog(long limit_ms = kRequestTimeLimitMs);
  // Disarms it.
  ~RequestWatchdog();
  RequestWatchdog(const RequestWatchdog&) = delete;
  RequestWatchdog& operator=(const RequestWatchdog&) = delete;

 private:
  timer_t timer_;
  bool armed_;
};

#endif  // REQUESTWATCHDOG_H_
