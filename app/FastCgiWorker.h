// FastCGI mode: the same program answering many requests in one process.
//
// A FastCGI process manager (lighttpd's mod_fastcgi through "bin-path",
// Apache's mod_fcgid) starts the program with a listening socket as standard
// input. The worker then accepts one request at a time through the
// reference FastCGI library and answers each exactly as a CGI process would:
// the request's variables and body come from the FastCGI request
// (RequestInput), the answer goes to its output stream (StdoutAnswer), the
// working directory is the directory of the requested script (as a web
// server sets it for a CGI), and each request gets a fresh context and its
// own time limit (RequestWatchdog: when it expires the whole worker ends,
// and the process manager starts another). Only the connections of
// KeptConnections.h outlive a request.
//
// Lifetime: one worker per process, from Run until the process exits. Per
// request: the input copy, the time limit and the working directory; the
// process's TZ is put back after each request, so that one web user's time
// zone never reaches the next request.
//
// Thread safety: none; one request at a time.
#ifndef FASTCGIWORKER_H_
#define FASTCGIWORKER_H_

#include <functional>

#include "app/RequestLog.h"

// The settings' Setting::kFastCgiMaxRequests is the number of requests
// after which a worker ends itself (the process manager starts a new one), a
// safety valve against slow growth of any kind. A whole number from 1 on;
// absent or anything else gives kDefaultWorkerRequests.
constexpr long kDefaultWorkerRequests = 10000;

// The request limit named by the settings value `value` (see above).
long WorkerRequestLimit(const char* value);

class FastCgiWorker {
 public:
  // Answers the current request, returning what the request log needs.
  using Answer = std::function<RequestOutcome()>;
  // Runs after the answer of `outcome` has gone out: the request log line,
  // the idle-session clean-up.
  using AfterAnswer = std::function<void(const RequestOutcome&)>;

  // True when standard input is a listening socket, that is, when a
  // FastCGI process manager started the program.
  static bool Started();

  // Accepts and answers requests until the request limit of the last
  // request that read its settings is reached or the process manager closes
  // the socket.
  // Returns the process's exit status (0).
  static int Run(const Answer& answer, const AfterAnswer& after);
};

#endif  // FASTCGIWORKER_H_
