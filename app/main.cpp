// vxml.cgi: answers one request of the voice portal's speech browser.
//
// The web server runs the program once per HTTP request. It starts the
// runtime kernel, arms the request's time limit, answers the request on the
// portal context (VXMLRequest.h), starts the session clean-up in a detached
// process that no caller waits for, closes standard output and writes the
// request log line. The process exits with status 0 (the watchdog ends it
// with its own).
//
// Run from a shell as "vxml.cgi --check [--user NAME]" (no REQUEST_METHOD
// in the environment), it checks the deployment instead (SelfCheck.h); as
// "vxml.cgi --clean-sessions", from a timer, it deletes the idle session
// files.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

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
  if (argc == 2 && strcmp(argv[1], "--clean-sessions") == 0 &&
      getenv("REQUEST_METHOD") == nullptr) {
    const int status = CleanSessionsNow(SitePath(kSessionDir), kSessionPrefix,
                                        kSessionIdleSeconds, stderr);
    Console = nullptr;
    return status;
  }

  RequestWatchdog watchdog;
  // A client that goes away must not end the process before the session is
  // saved: its writes fail instead.
  signal(SIGPIPE, SIG_IGN);
  RequestOutcome outcome = AnswerRequest(
      [] { return new PortalContext(SitePath(kPortalSettingsFile), ""); });
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
  RequestLog::Write(outcome, NowMs() - start_ms);
  Console = nullptr;
  return 0;
}
