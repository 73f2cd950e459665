// vxml.cgi: answers the requests of the voice portal's speech browser.
//
// Run by a web server as a CGI, the program answers one request: it starts
// the runtime kernel, arms the request's time limit, answers the request on
// the portal context (VXMLRequest.h), closes standard output, writes the
// request log line and then lets the session clean-up run, which no caller
// waits for. The process exits with status 0 (the watchdog ends it with its
// own).
//
// Started by a FastCGI process manager (standard input is a listening
// socket), it answers request after request in the same way, each with its
// own time limit, and keeps its database and directory connections between
// them (FastCgiWorker.h).
//
// Run from a shell as "vxml.cgi --check [--user NAME]" (no REQUEST_METHOD
// in the environment), it checks the deployment instead (SelfCheck.h).
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>

#include "app/FastCgiWorker.h"
#include "app/PortalContext.h"
#include "app/RequestLog.h"
#include "app/RequestWatchdog.h"
#include "app/SelfCheck.h"
#include "app/VXMLRequest.h"
#include "cgiFramework/SitePaths.h"
#include "cgiFramework/WebContext.h"
#include "kernel/OSConsole.h"
#include "kernel/OSKernel.h"

namespace {

// Milliseconds on the monotonic clock.
long NowMs() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// Answers the current request on a new portal context.
RequestOutcome AnswerPortalRequest() {
  return AnswerRequest(
      [] { return new PortalContext(SitePath(kPortalSettingsFile), ""); });
}

// What follows a request once its answer is out, in both modes.
void AfterAnswer(const RequestOutcome& outcome, long start_ms) {
  RequestLog::Write(outcome, NowMs() - start_ms);
  WebContext::CleanupIdleSessions();
}

// The one request of a CGI process.
int ServeCgiRequest(long start_ms) {
  RequestWatchdog watchdog;
  RequestOutcome outcome = AnswerPortalRequest();
  // The answer is complete: the web server may pass it on now. Standard
  // output then writes to /dev/null, so that no later file takes its
  // descriptor.
  fflush(stdout);
  int null_fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (null_fd >= 0) {
    dup2(null_fd, STDOUT_FILENO);
    close(null_fd);
  } else {
    close(STDOUT_FILENO);
  }
  AfterAnswer(outcome, start_ms);
  return 0;
}

// Request after request of a FastCGI worker.
int ServeFastCgiRequests() {
  long start_ms = 0;
  return FastCgiWorker::Run(
      [&start_ms] {
        start_ms = NowMs();
        return AnswerPortalRequest();
      },
      [&start_ms](const RequestOutcome& outcome) {
        AfterAnswer(outcome, start_ms);
      });
}

}  // namespace

int main(int argc, char** argv) {
  const long start_ms = NowMs();
  os_startup(0, 0, nullptr);
  // Standard output carries the HTTP response: diagnostics go to standard
  // error, the web server's error log.
  Console->SetOutput(stderr);
  if (IsSelfCheckCall(argc, argv)) {
    const int status = RunSelfCheck(argc, argv, stdout);
    Console = nullptr;
    return status;
  }

  // A client that goes away must not end the process before the session is
  // saved: its writes fail instead.
  signal(SIGPIPE, SIG_IGN);
  const int status = FastCgiWorker::Started() ? ServeFastCgiRequests()
                                              : ServeCgiRequest(start_ms);
  Console = nullptr;
  return status;
}
