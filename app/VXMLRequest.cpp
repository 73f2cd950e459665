#include "app/VXMLRequest.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/AnswerOutput.h"
#include "app/VXML.h"
#include "cgiFramework/RequestInput.h"
#include "cgiFramework/WebArgument.h"
#include "cgiFramework/WebContext.h"
#include "cgiFramework/WebValue.h"

namespace {

// Tracks the request's answer and its first failure.
class Answer {
 public:
  Answer() { StdoutAnswer::Reset(); }

  // True once a byte of the answer has gone to standard output.
  bool Begun() const { return StdoutAnswer::BytesWritten() != 0; }

  // Records `error` (the first one is kept) and, when the answer has begun,
  // writes it to standard error. True when an error page may still be
  // written.
  bool Fail(const char* error) {
    if (first_error_.IsEmpty()) first_error_ = error;
    if (!Begun()) return true;
    fprintf(stderr, "vxml.cgi: %s\n", error);
    return false;
  }

  const UString& FirstError() const { return first_error_; }
  WebRender* out() { return &out_; }

 private:
  AnswerWebRender out_;
  UString first_error_;
};

// Writes the error page for `error` on `context`. Error texts are HTML
// (some carry line breaks as "<br>"), written as they stand. Throws what
// rendering the page throws.
void ShowSystemError(WebContext& context, WebRender* out, const char* error) {
  StandardPage page(context);
  page.Add(new WebValue("SYSTEM ERROR: %s", error));
  page.Render(context, out);
}

// The error page when the portal context cannot be built, cannot show the
// page itself or fails while it is destroyed: written on a plain context
// without settings file or session. That context reads the query string and
// cookies again but not the body, whose reading may be what failed. A
// failure of this page goes to standard error.
void ShowFallbackError(Answer& answer, const char* error) {
  if (!answer.Fail(error)) return;
  try {
    RequestWithoutBody without_body;
    WebContext context("", nullptr);
    ShowSystemError(context, answer.out(), error);
  } catch (const char* page_error) {
    fprintf(stderr, "vxml.cgi: %s\n", page_error);
  }
}

// Sets the page name, session and log setting of the request on `context`
// in `outcome`, and readies the request-log line with them in case the
// watchdog ends the request.
void Describe(PortalContext& context, RequestOutcome* outcome) {
  if (context.HasWebArgument("pagename")) {
    outcome->page = static_cast<char*>(context["pagename"]);
  }
  outcome->session_id = context.session_id;
  outcome->log = !IsOffSetting(context.GetSetting(Setting::kRequestLog));
  outcome->worker_requests = context.GetSetting(Setting::kFastCgiMaxRequests);
  outcome->settings_read = true;
  RequestLog::Prepare(*outcome);
}

// The request loop: one pass per page, repeated while a page leaves an
// internal redirect, whose query part (after the first "?", or the whole
// text without one) is the next pass's arguments. An error of a pass
// becomes the error page on the same context while the answer has not
// begun. Keeps `outcome` described. Returns false when that page failed too
// (its error is left for the fallback page).
bool ServePages(PortalContext& context, Answer& answer, RequestOutcome* outcome,
                UString* failure) {
  try {
    do {
      context.InitSession(kSessionPrefix, kSessionIdleSeconds, true);
      Describe(context, outcome);
      DisplayPage(context, answer.out());
      if (!context.internal_redirect.IsEmpty()) {
        UString redirect = context.internal_redirect;
        const char* query = strchr(redirect, '?');
        context.ScanWebArguments(
            query != nullptr ? query + 1 : static_cast<char*>(redirect));
      }
    } while (!context.internal_redirect.IsEmpty());
  } catch (const char* error) {
    if (!answer.Fail(error)) return true;
    try {
      ShowSystemError(context, answer.out(), error);
    } catch (const char* page_error) {
      *failure = page_error;
      return false;
    }
  }
  return true;
}

}  // namespace

RequestOutcome AnswerRequest(const ContextFactory& make_context) {
  Answer answer;
  RequestOutcome outcome;
  // The first error that the portal context could not show. A copy, as the
  // text may live in the context or in a buffer that a later error reuses.
  UString failure;
  bool failed = false;
  try {
    PortalContext* context = make_context();
    Describe(*context, &outcome);
    failed = !ServePages(*context, answer, &outcome, &failure);
    Describe(*context, &outcome);
    // The page is complete: the web server gets it before the session save,
    // which may wait for the session lock. Deleting the context saves the
    // session.
    fflush(stdout);
    delete context;
  } catch (const char* error) {
    if (!failed) failure = error;
    failed = true;
  }
  if (failed) ShowFallbackError(answer, failure);
  fflush(stdout);
  outcome.error = answer.FirstError();
  outcome.bytes = StdoutAnswer::BytesWritten();
  outcome.body_expected = StdoutAnswer::BodyExpected();
  outcome.body_sent = StdoutAnswer::BodySent();
  return outcome;
}
