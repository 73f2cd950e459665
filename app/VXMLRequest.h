// One request of vxml.cgi from its context to its last byte: the request
// loop over DisplayPage, the "SYSTEM ERROR: <text>" page for a failure, and
// what the request log needs to know about it.
//
// A failure before any byte of the answer went out becomes the error page. A
// failure after that (the session save in the context's destructor, a later
// pass of the loop) goes to standard error only, as one line "vxml.cgi:
// <text>": the speech browser must never get a second header block or an
// HTML page inside its VoiceXML, nor more audio bytes than announced.
//
// A process that answers several requests calls, per request:
// RequestLog::Begin(start), a new RequestWatchdog, AnswerRequest(),
// RequestLog::Write(), and ends with kCutExitStatus for a cut answer.
//
// Thread safety: none; one request at a time.
#ifndef VXMLREQUEST_H_
#define VXMLREQUEST_H_

#include <functional>

#include "app/PortalContext.h"
#include "app/RequestLog.h"

// Exit status of a process whose answer was cut (fewer body bytes sent than
// announced), so that the web server records a failed request.
constexpr int kCutExitStatus = 4;

// Makes the request's context: new, owned by the caller. Throws the
// context's constructor texts.
using ContextFactory = std::function<PortalContext*()>;

// Answers the request on the context `make_context` returns, writing the
// answer to standard output through StdoutAnswer, then deletes the context
// (which saves the session) after flushing the answer to the web server.
// Errors thrown as text never leave; the outcome names the first of them,
// the page, the session and the bytes written, and whether the answer was
// cut. Keeps the request-log line readied (RequestLog::Prepare) as it goes.
RequestOutcome AnswerRequest(const ContextFactory& make_context);

#endif  // VXMLREQUEST_H_
