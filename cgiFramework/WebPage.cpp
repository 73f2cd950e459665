#include "cgiFramework/WebPage.h"

#include <string>

#include "cgiFramework/WebContext.h"
#include "cgiFramework/WebCookie.h"
#include "cgiFramework/WebRender.h"
#include "cgiFramework/WebSession.h"

namespace {

// The history slots, newest first.
const char* const kHistory[] = {"_page0", "_page1", "_page2", "_page3",
                                "_page4"};
constexpr int kHistorySize = 5;

// The five history URLs as they were before a change.
struct History {
  UString url[kHistorySize];
};

// The URL stored in history slot `slot`. A slot never set reads as "" and
// is created by its lookup.
UString ReadSlot(WebContext& context, int slot) {
  return context.session_prefix.IsEmpty()
             ? context.GetWebCookie(kHistory[slot]).value
             : context.GetWebSessionVar(kHistory[slot]).value;
}

// Reads the slots in order, so that new cookies are listed (and sent) in
// slot order.
History ReadHistory(WebContext& context) {
  History history;
  for (int i = 0; i < kHistorySize; ++i) history.url[i] = ReadSlot(context, i);
  return history;
}

void SetHistory(WebContext& context, int slot, const char* url) {
  if (context.session_prefix.IsEmpty()) {
    context.SetWebCookie(kHistory[slot], url);
  } else {
    context.SetWebSessionVar(kHistory[slot], url);
  }
}

// Records the current request: a new "pagename" moves every entry one slot
// down first; the same "pagename" only replaces "_page0".
void RecordHistory(WebContext& context) {
  History history = ReadHistory(context);
  if (!context.IsSameArgument("pagename", history.url[0])) {
    for (int i = kHistorySize - 1; i > 0; --i) {
      SetHistory(context, i, history.url[i - 1]);
    }
  }
  SetHistory(context, 0, context.GetFullURL(nullptr));
}

// Moves every entry one slot towards "_page0", empties "_page4" and returns
// the new "_page0" as stored (a cookie stores some bytes escaped: WebCookie).
UString GoBackInHistory(WebContext& context) {
  History history = ReadHistory(context);
  for (int i = 0; i < kHistorySize - 1; ++i) {
    SetHistory(context, i, history.url[i + 1]);
  }
  SetHistory(context, kHistorySize - 1, "");
  return ReadSlot(context, 0);
}

// `url` with the bytes that could end an HTML attribute or tag
// percent-encoded, as a browser would send them anyway.
std::string AttributeSafeURL(const char* url) {
  std::string safe;
  for (const char* p = url; *p != '\0'; ++p) {
    switch (*p) {
      case '"':
        safe += "%22";
        break;
      case '<':
        safe += "%3C";
        break;
      case '>':
        safe += "%3E";
        break;
      default:
        safe += *p;
    }
  }
  return safe;
}

void WriteCookies(WebContext& context, WebRender* o) {
  for (WebCookie* cookie : context.cookies) {
    if (!cookie->updated) continue;
    o->printf("Set-Cookie: %s=%s; ", static_cast<char*>(cookie->name),
              static_cast<char*>(cookie->value));
    if (!cookie->expires.IsEmpty()) {
      o->printf("expires=%s; ", static_cast<char*>(cookie->expires));
    }
    if (!cookie->path.IsEmpty()) {
      o->printf("path=%s; ", static_cast<char*>(cookie->path));
    }
    if (!cookie->domain.IsEmpty()) {
      o->printf("domain=%s; ", static_cast<char*>(cookie->domain));
    }
    if (!cookie->secure.IsEmpty()) {
      o->printf("%s; ", static_cast<char*>(cookie->secure));
    }
    o->printf("\n");
  }
}

// Writes the refresh element for the redirect text; `back` is the page the
// history went back to.
void WriteRefresh(WebContext& context, WebRender* o, UString& back) {
  UString& redirect = context.client_redirect;
  if (redirect == "<ignore>") return;
  if (redirect == "<back>") {
    UString url = back;
    if (url.IsEmpty()) url = context.GetURL("pagename=");
    o->printf("<meta http-equiv=refresh content=\"0;url= %s\" />\n",
              AttributeSafeURL(url).c_str());
  } else {
    o->printf("<meta http-equiv=refresh content=\"%d;url= %s\" />\n",
              context.client_redirect_time, AttributeSafeURL(redirect).c_str());
  }
}

// Writes the start of an HTML document up to the page's own head texts.
void OpenDocument(WebRender* o, UString& title, UString& header) {
  o->printf("<html>\n<head>\n<title>%s</title>\n", static_cast<char*>(title));
  o->printf("%s", static_cast<char*>(header));
}

// Writes the rest of the head, the body with the children of `page`, and
// the end of the document.
void CloseDocument(WebItem& page, WebContext& context, WebRender* o,
                   UString& css, UString& attributes) {
  o->printf("%s</head>\n<body %s>\n", static_cast<char*>(css),
            static_cast<char*>(attributes));
  RenderItems(page.contains, context, o);
  o->printf("</body>\n</html>\n");
}

}  // namespace

WebPage::WebPage(bool addToHistory) : addToHistory(addToHistory) {}

WebPage::~WebPage() = default;

void WebPage::Render(WebContext& context, WebRender* o) {
  UString back;
  if (context.client_redirect.IsEmpty()) {
    if (addToHistory) RecordHistory(context);
  } else if (context.client_redirect == "<back>") {
    back = GoBackInHistory(context);
  }
  WriteCookies(context, o);
  o->printf("Cache-Control: no-cache, no-store, max-age=1, must-revalidate\n");
  o->printf("Content-type: text/html;charset=utf-8\n\n");
  OpenDocument(o, title, header);
  if (!context.client_redirect.IsEmpty()) WriteRefresh(context, o, back);
  CloseDocument(*this, context, o, css, PageAttributes);
}

WebEmbedPage::WebEmbedPage() = default;

WebEmbedPage::~WebEmbedPage() = default;

void WebEmbedPage::Render(WebContext& context, WebRender* o) {
  OpenDocument(o, title, header);
  CloseDocument(*this, context, o, css, PageAttributes);
}

AjaxPage::AjaxPage() = default;

AjaxPage::~AjaxPage() = default;

void AjaxPage::Render(WebContext& context, WebRender* o) {
  o->printf("Content-type: text/html;charset=utf-8\n\n");
  WebItem::Render(context, o);
}
