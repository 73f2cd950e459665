// vxml.cgi: answers the requests of the voice portal's speech browser.
//
// Run by a web server as a CGI, the program answers one request: it starts
// the runtime kernel, arms the request's time limit, answers the request on
// the portal context (VXMLRequest.h), writes the request log line, starts
// the session clean-up in a detached process that no caller waits for, and
// closes standard output. The process exits with status 0, or
// kCutExitStatus when the answer was cut (the watchdog ends it with its own).
//
// Started by a FastCGI process manager (standard input is a listening
// socket), it answers request after request in the same way, each with its
// own time limit and request log line, and keeps its database and directory
// connections between them (FastCgiWorker.h).
//
// Run from a shell (no CGI variables in the environment), it runs the
// operator's command line instead: "--check [--user NAME]", "--version",
// "--help" (SelfCheck.h), and "--clean-sessions", run by a timer to delete
// the idle session files.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>

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
#include "kernel/OSTime.h"

namespace {

// Answers the current request on a new portal context.
RequestOutcome AnswerPortalRequest() {
  return AnswerRequest(
      [] { return new PortalContext(SitePath(kPortalSettingsFile), ""); });
}

// The one request of a CGI process.
int ServeCgiRequest(long start_ms) {
  RequestLog::Begin(start_ms);
  RequestWatchdog watchdog;
  RequestOutcome outcome = AnswerPortalRequest();
  // The request log line goes out before standard output closes: lighttpd
  // ends the process with SIGTERM as soon as it sees the answer's end.
  RequestLog::Write(outcome, os_monotonic_ms() - start_ms);
  // The answer is complete: the web server may pass it on now. Standard
  // output then writes to /dev/null, so that no later file takes its
  // descriptor.
  fflush(stdout);
  // The idle-session scan starts before standard output is closed: from
  // then on lighttpd may end this process at any moment. It runs in a
  // process of its own, which holds nothing of the answer.
  WebContext::CleanupIdleSessions();
  int null_fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (null_fd >= 0) {
    dup2(null_fd, STDOUT_FILENO);
    close(null_fd);
  } else {
    close(STDOUT_FILENO);
  }
  return outcome.Cut() ? kCutExitStatus : 0;
}

// Request after request of a FastCGI worker. A cut answer is logged as cut;
// the worker goes on.
int ServeFastCgiRequests() {
  long start_ms = 0;
  return FastCgiWorker::Run(
      [&start_ms] {
        start_ms = os_monotonic_ms();
        RequestLog::Begin(start_ms);
        return AnswerPortalRequest();
      },
      [&start_ms](const RequestOutcome& outcome) {
        RequestLog::Write(outcome, os_monotonic_ms() - start_ms);
        WebContext::CleanupIdleSessions();
      });
}

}  // namespace

int main(int argc, char** argv) {
  const long start_ms = os_monotonic_ms();
  os_startup(0, 0, nullptr);
  // Standard output carries the HTTP response: diagnostics go to standard
  // error, the web server's error log.
  Console->SetOutput(stderr);
  // A process manager starts a worker without CGI variables in its
  // environment, so FastCGI mode is told first.
  const bool fastcgi = FastCgiWorker::Started();
  if (!fastcgi && IsCommandLineCall()) {
    const int status = RunCommandLine(argc, argv, stdout, stderr);
    Console = nullptr;
    return status;
  }

  // A client that goes away must not end the process before the session is
  // saved: its writes fail instead.
  signal(SIGPIPE, SIG_IGN);
  const int status =
      fastcgi ? ServeFastCgiRequests() : ServeCgiRequest(start_ms);
  Console = nullptr;
  return status;
}
