// One line per request in the system log, for operators: the page, the
// outcome, how long it took, how many bytes the answer had and the first
// digits of the session id. The line never holds a password or the request
// itself: the page name and the error text are cut and stripped of control
// characters, and the session id is shortened.
//
// The line is sent as one datagram in the local syslog format without time
// stamp ("<PRI>vxml.cgi[pid]: line"; the log daemon stamps it), facility
// user, priority info (ok) or err (failed), to the log
// socket: the path in the environment variable VXML_LOG_SOCKET when that is
// set (for tests), else /dev/log. Sending never blocks; a log daemon that is
// absent or busy loses the line.
//
// Thread safety: none needed; one line at the end of a request.
#ifndef REQUESTLOG_H_
#define REQUESTLOG_H_

#include <cstdint>

#include "common/UString.h"

// Settings key that turns the line off: "off" (or "0", "no") disables it;
// absent or anything else keeps it on.
inline constexpr char kRequestLogKey[] = "requestlog";

// What one request did, as the request log reports it.
struct RequestOutcome {
  UString page;        // the "pagename" argument; "" when there was none
  UString session_id;  // the session identifier; "" for none
  UString error;       // the first error text; "" when all went well
  uint64_t bytes = 0;  // bytes of the answer written
  bool log = true;     // the settings file leaves the request log on
  UString worker_requests;  // the settings' request limit of a FastCGI
                            // worker, as written (see FastCgiWorker.h)
};

class RequestLog {
 public:
  // Page names and error texts are cut to this many bytes.
  static constexpr size_t kMaxText = 160;
  // Digits of the session id that are logged.
  static constexpr size_t kSessionDigits = 4;

  // The line for `outcome` after `elapsed_ms` milliseconds, without the
  // syslog header: "page=dialout outcome=ok ms=7 bytes=1030 session=1234".
  static UString Line(const RequestOutcome& outcome, long elapsed_ms);
  // Sends Line() to the log socket unless the outcome says the log is off.
  // False when nothing was sent.
  static bool Write(const RequestOutcome& outcome, long elapsed_ms);

  // True when the settings value `value` of kRequestLogKey turns the log
  // off.
  static bool IsOff(const char* value);
};

#endif  // REQUESTLOG_H_
