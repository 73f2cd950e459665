// A whole-request time limit: whatever the peers do (a database that never
// answers, a directory that trickles, a client that stops reading), the
// process ends once the limit has passed since the watchdog was armed.
//
// The watchdog is a POSIX timer on CLOCK_MONOTONIC that delivers its own
// real-time signal, so the session lock's alarm()/SIGALRM time-out is left
// alone. Arming unblocks that signal, which a parent process may have
// blocked (the mask is inherited across exec). When it fires, the handler
// writes one line to standard error with write(2), sends the request-log
// line that RequestLog readied (outcome "timeout", or "cut" when a body of
// announced length was being sent) and ends the process with
// _exit(kExitStatus): nothing else is safe in a signal handler, so the
// session is not saved and the answer stays as far as it got.
//
// While armed it also watches for SIGTERM, with which the web server ends a
// request (lighttpd does when the client goes away): the readied line is
// sent (outcome "terminated", or "cut") and the signal then takes its
// default course.
//
// One watchdog per request, armed for its whole life; a process that
// answers several requests makes a new one for each. Not thread-safe.
#ifndef REQUESTWATCHDOG_H_
#define REQUESTWATCHDOG_H_

#include <signal.h>

#include <ctime>

// The longest a request may live, in milliseconds.
constexpr long kRequestTimeLimitMs = 30 * 1000;

class RequestWatchdog {
 public:
  // Exit status of a process that the watchdog ended.
  static constexpr int kExitStatus = 3;

  // Arms the watchdog for `limit_ms` milliseconds from now, unblocks its
  // signal and catches SIGTERM. When the timer cannot be made, a line on
  // standard error says so and the request runs without a limit.
  explicit RequestWatchdog(long limit_ms = kRequestTimeLimitMs);
  // Disarms it and gives SIGTERM its earlier action back.
  ~RequestWatchdog();
  RequestWatchdog(const RequestWatchdog&) = delete;
  RequestWatchdog& operator=(const RequestWatchdog&) = delete;

 private:
  timer_t timer_;
  bool armed_;
  struct sigaction earlier_term_;  // SIGTERM's action before the watchdog
};

#endif  // REQUESTWATCHDOG_H_
