// One line per request in the system log, for operators: the page, the
// session, how long it took, how many bytes the answer had and the outcome.
// The line never holds a password or the request itself: the page name and
// the error text are cut, and the session id is shortened.
//
// Format: "page=P session=S ms=N bytes=N outcome=O", and after a cut answer
// " sent=N expected=N" (bytes of the announced body sent, and its
// Content-Length). O is "ok", "cut" (fewer body bytes sent than announced),
// "timeout" (the watchdog ended the request), "terminated" (the web server
// ended it with SIGTERM) or the first error text. Every
// value is one word that cannot fake another field: blanks, "=", "%",
// control characters (C1 ones such as NEL included), U+2028, U+2029 and
// bytes that are not UTF-8 appear as "%HH", one per byte; a value is cut to
// kMaxText bytes as logged, between two characters; "-" stands for an empty
// value.
//
// The line is sent as one datagram in the local syslog format without time
// stamp ("<PRI>vxml.cgi[pid]: line"; the log daemon stamps it), facility
// user, priority info (ok) or err (anything else), to the log socket: the
// path in the environment variable VXML_LOG_SOCKET when that is set (for
// tests), else /dev/log. Sending never blocks; a log daemon that is absent or
// busy loses the line.
//
// A request that a signal ends (the watchdog's, or the web server's SIGTERM)
// is logged too: Begin() readies the line
// and Prepare() keeps it up to date as the request proceeds, so that the
// signal handler only adds the numbers and sends it (WriteFromSignal). Write()
// takes that line back: a request is logged once.
//
// Thread safety: none; one request at a time on one thread, and the one
// signal handlers of the watchdog.
#ifndef REQUESTLOG_H_
#define REQUESTLOG_H_

#include <cstdint>

#include "common/UString.h"

// What one request did, as the request log reports it.
struct RequestOutcome {
  UString page;        // the "pagename" argument; "" when there was none
  UString session_id;  // the session identifier; "" for none
  UString error;       // the first error text; "" when all went well
  uint64_t bytes = 0;  // bytes of the answer written
  // The body of announced length (a recording's Content-Length): its length
  // and the bytes of it sent; both 0 when the answer had none.
  uint64_t body_expected = 0;
  uint64_t body_sent = 0;
  bool log = true;  // the settings file leaves the request log on
  UString worker_requests;  // the settings' request limit of a FastCGI
                            // worker, as written (see FastCgiWorker.h)
  bool settings_read = false;  // the request got as far as its settings:
                               // log and worker_requests come from them

  // True when fewer body bytes went out than the answer announced.
  bool Cut() const { return body_sent < body_expected; }
};

class RequestLog {
 public:
  // Page names and error texts are cut to this many bytes.
  static constexpr size_t kMaxText = 160;
  // Digits of the session id that are logged.
  static constexpr size_t kSessionDigits = 4;

  // The line for `outcome` after `elapsed_ms` milliseconds, without the
  // syslog header: "page=dialout session=1234 ms=7 bytes=1030 outcome=ok".
  static UString Line(const RequestOutcome& outcome, long elapsed_ms);
  // Sends Line() to the log socket unless the outcome says the log is off,
  // and takes back the line Prepare() readied. False when nothing was sent.
  static bool Write(const RequestOutcome& outcome, long elapsed_ms);

  // Readies the line of a request that began at `start_ms`
  // (os_monotonic_ms(), kernel/OSTime.h) for WriteFromSignal, with nothing
  // known about it yet: opens the log socket (kept open for later requests)
  // and reads its path.
  static void Begin(long start_ms);
  // Brings the readied line up to `outcome`'s page, session and log
  // setting; its numbers and outcome are ignored.
  static void Prepare(const RequestOutcome& outcome);
  // Sends the readied line, if any, with the time since Begin(), the answer's
  // `bytes`, and "outcome=cut" with the body counts when `body_sent` is less
  // than `body_expected`, else "outcome=" and `outcome`. Async-signal-safe:
  // it formats on the stack and calls sendto(2) only.
  static void WriteFromSignal(const char* outcome, uint64_t bytes,
                              uint64_t body_sent, uint64_t body_expected);
};

#endif  // REQUESTLOG_H_
