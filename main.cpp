// vxml.cgi: answers one request of the voice portal's speech browser.
//
// The web server runs the program once per HTTP request. It starts the
// runtime kernel, reads the request into the portal context, lets
// DisplayPage answer it (again for each internal redirect a page leaves
// behind) and turns every error thrown as a text into an HTML page reading
// "SYSTEM ERROR: <text>". The process always exits with status 0.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "PortalContext.h"
#include "VXML.h"
#include "cgiFramework/SitePaths.h"
#include "cgiFramework/WebContext.h"
#include "cgiFramework/WebRender.h"
#include "cgiFramework/WebValue.h"
#include "common/UString.h"
#include "kernel/OSConsole.h"
#include "kernel/OSKernel.h"

namespace {

const char kSettingsFile[] = "/Korvelund/config/Lumera.cfg";

// Writes the error page for `error` on `context`. Error texts are HTML
// (some carry line breaks as "<br>"), written as they stand. Throws what
// rendering the page throws.
void ShowSystemError(WebContext& context, WebRender* out, const char* error) {
  StandardPage page(context);
  page.Add(new WebValue("SYSTEM ERROR: %s", error));
  page.Render(context, out);
}

// The request loop: one pass per page, repeated while a page leaves an
// internal redirect, whose query part (after the first "?", or the whole
// text without one) is the next pass's arguments. An error of a pass
// becomes the error page on the same context. Throws what the error page
// itself throws.
void ServeRequest(PortalContext& context, WebRender* out) {
  try {
    do {
      context.InitSession("User", 1440, true);
      DisplayPage(context, out);
      if (!context.internal_redirect.IsEmpty()) {
        UString redirect = context.internal_redirect;
        const char* query = strchr(redirect, '?');
        context.ScanWebArguments(
            query != nullptr ? query + 1 : static_cast<char*>(redirect));
      }
    } while (!context.internal_redirect.IsEmpty());
  } catch (const char* error) {
    ShowSystemError(context, out, error);
  }
}

// The error page when the portal context cannot be built, cannot show the
// page itself or fails while it is destroyed: written on a plain context
// without settings file or session. That context reads the query string and
// cookies again but not the body, whose reading may be what failed.
void ShowFallbackError(WebRender* out, const char* error) {
  unsetenv("CONTENT_LENGTH");
  WebContext context("", nullptr);
  ShowSystemError(context, out, error);
}

}  // namespace

int main(int /*argc*/, char** /*argv*/) {
  os_startup(0, 0, nullptr);
  // Standard output carries the HTTP response: diagnostics go to standard
  // error, the web server's error log.
  Console->SetOutput(stderr);
  StdoutWebRender out;

  // The first error that the portal context could not show. A copy, as the
  // text may live in the context or in a buffer that a later error reuses.
  UString failure;
  bool failed = false;
  try {
    PortalContext context(SitePath(kSettingsFile), "");
    try {
      ServeRequest(context, &out);
    } catch (const char* error) {
      failure = error;
      failed = true;
    }
    // Leaving the block destroys the context, which saves the session.
  } catch (const char* error) {
    if (!failed) failure = error;
    failed = true;
  }
  if (failed) ShowFallbackError(&out, failure);

  fflush(stdout);
  Console = nullptr;
  return 0;
}
