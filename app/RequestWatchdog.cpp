#include "app/RequestWatchdog.h"

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "app/AnswerOutput.h"
#include "app/RequestLog.h"

namespace {

const char kExpiredLine[] =
    "vxml.cgi: request ended by the watchdog: time limit exceeded\n";

// Sends the request-log line of a request ended by a signal.
void LogEnding(const char* outcome) {
  RequestLog::WriteFromSignal(outcome, StdoutAnswer::BytesWritten(),
                              StdoutAnswer::BodySent(),
                              StdoutAnswer::BodyExpected());
}

void Expired(int /*signal*/) {
  ssize_t n = write(STDERR_FILENO, kExpiredLine, sizeof kExpiredLine - 1);
  (void)n;
  LogEnding("timeout");
  _exit(RequestWatchdog::kExitStatus);
}

// The web server ends the request: after the line, the process ends as
// SIGTERM would have ended it, once the handler returns.
void Terminated(int signal_number) {
  LogEnding("terminated");
  signal(signal_number, SIG_DFL);
  raise(signal_number);
}

}  // namespace

RequestWatchdog::RequestWatchdog(long limit_ms)
    : timer_(), armed_(false), earlier_term_() {
  const int signal_number = SIGRTMIN;
  struct sigaction action;
  memset(&action, 0, sizeof action);
  sigemptyset(&action.sa_mask);
  action.sa_handler = Terminated;
  sigaction(SIGTERM, &action, &earlier_term_);
  action.sa_handler = Expired;
  struct sigevent event;
  memset(&event, 0, sizeof event);
  event.sigev_notify = SIGEV_SIGNAL;
  event.sigev_signo = signal_number;
  sigset_t unblock;
  sigemptyset(&unblock);
  sigaddset(&unblock, signal_number);
  if (sigaction(signal_number, &action, nullptr) != 0 ||
      sigprocmask(SIG_UNBLOCK, &unblock, nullptr) != 0 ||
      timer_create(CLOCK_MONOTONIC, &event, &timer_) != 0) {
    fprintf(stderr, "vxml.cgi: no request watchdog: %s\n", strerror(errno));
    return;
  }
  struct itimerspec when;
  memset(&when, 0, sizeof when);
  when.it_value.tv_sec = limit_ms / 1000;
  when.it_value.tv_nsec = (limit_ms % 1000) * 1000000L;
  if (timer_settime(timer_, 0, &when, nullptr) != 0) {
    fprintf(stderr, "vxml.cgi: no request watchdog: %s\n", strerror(errno));
    timer_delete(timer_);
    return;
  }
  armed_ = true;
}

RequestWatchdog::~RequestWatchdog() {
  if (armed_) timer_delete(timer_);
  sigaction(SIGTERM, &earlier_term_, nullptr);
}
