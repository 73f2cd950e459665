// Page roots of the HTML side: WebPage (a complete HTTP response with its
// header lines, cookies, page history and client-side redirect), WebEmbedPage
// (an HTML document without HTTP header lines) and AjaxPage (a fragment after
// one header line).
//
// Titles, header and css texts and page attributes are written exactly as
// stored: callers put ready-made HTML into them.
//
// Page history: five URLs "_page0" (the current page) to "_page4" (the
// oldest), kept in cookies when the context has no session prefix and in
// session variables of the same names otherwise.
//
// Thread safety: none.
#ifndef CGIFRAMEWORK_WEBPAGE_H_
#define CGIFRAMEWORK_WEBPAGE_H_

#include "cgiFramework/WebItem.h"
#include "common/UString.h"

class WebPage : public WebItem {
 public:
  // Empty texts; `addToHistory` says whether rendering records the page.
  explicit WebPage(bool addToHistory);
  ~WebPage() override;

  // Writes the whole response and changes the context:
  //   - with no client redirect, a page that records history stores the
  //     current full URL in "_page0", first moving the older entries down
  //     one slot when the request's "pagename" differs from the one in
  //     "_page0";
  //   - with the redirect "<back>" the history moves up one slot ("_page4"
  //     becomes empty) and the page refreshes at once to the new "_page0"
  //     (or to the program's URL with an empty "pagename" when that is
  //     empty); "<ignore>" writes no refresh; any other redirect refreshes
  //     to that URL after the context's client_redirect_time seconds;
  //   - a "Set-Cookie" line for every cookie marked updated, in list order,
  //     then the cache and content-type lines and the HTML document.
  // In a refresh URL the bytes '"', '<' and '>' are written as "%22", "%3C"
  // and "%3E", so that no URL (a history cookie comes from the client) can
  // end the attribute.
  void Render(WebContext& context, WebRender* o) override;

  UString title;           // text of <title>
  UString header;          // written into <head> after the title
  UString css;             // written into <head> after any refresh
  UString PageAttributes;  // written inside <body ...>
  bool addToHistory;       // rendering records this page in the history
};

class WebEmbedPage : public WebItem {
 public:
  WebEmbedPage();
  ~WebEmbedPage() override;

  // Writes the HTML document of a WebPage: no HTTP header lines, no history,
  // no redirect.
  void Render(WebContext& context, WebRender* o) override;

  UString title;           // text of <title>
  UString header;          // written into <head> after the title
  UString css;             // written into <head> after the header
  UString PageAttributes;  // written inside <body ...>
};

class AjaxPage : public WebItem {
 public:
  AjaxPage();
  ~AjaxPage() override;

  // Writes "Content-type: text/html;charset=utf-8" and an empty line, then
  // the children.
  void Render(WebContext& context, WebRender* o) override;
};

#endif  // CGIFRAMEWORK_WEBPAGE_H_
