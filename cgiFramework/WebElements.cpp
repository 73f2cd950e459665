#include "cgiFramework/WebElements.h"

#include <cstdarg>

#include "cgiFramework/WebRender.h"

namespace {

// Writes "<tag attributes>" and `open_end`, the children of `item`, then
// "</tag>" and `close_end`.
void RenderTagged(WebItem& item, WebContext& context, WebRender* o,
                  const char* tag, const char* attributes, const char* open_end,
                  const char* close_end) {
  o->printf("<%s %s>%s", tag, attributes, open_end);
  RenderItems(item.contains, context, o);
  o->printf("</%s>%s", tag, close_end);
}

}  // namespace

WebDiv::WebDiv() = default;

WebDiv::WebDiv(const char* format, ...) {
  va_list args;
  va_start(args, format);
  css.vFormat(format, args);
  va_end(args);
}

WebDiv::~WebDiv() = default;

void WebDiv::Render(WebContext& context, WebRender* o) {
  RenderTagged(*this, context, o, "div", css, "", "");
}

WebTaggedItem::WebTaggedItem(const char* tag, const char* css,
                             const char* close_end)
    : css(css), tag_(tag), close_end_(close_end) {}

WebTaggedItem::~WebTaggedItem() = default;

void WebTaggedItem::Render(WebContext& context, WebRender* o) {
  RenderTagged(*this, context, o, tag_, css, "", close_end_);
}

WebTable::WebTable(const char* css) : css(css) {}

WebTable::~WebTable() { DestroyItems(headers); }

void WebTable::Render(WebContext& context, WebRender* o) {
  o->printf("<table %s>\n", static_cast<char*>(css));
  if (headers.Size() > 0) {
    o->printf("<thead>\n");
    RenderItems(headers, context, o);
    o->printf("</thead>\n<tbody>\n");
    WebItem::Render(context, o);
    o->printf("</tbody>\n");
  } else {
    WebItem::Render(context, o);
  }
  o->printf("</table>\n");
}

WebItem* WebTable::AddHeader(WebItem* item) {
  headers.Append(item);
  return this;
}

WebList::WebList(const char* css, bool ordered) : css(css), ordered(ordered) {}
WebList::~WebList() = default;

void WebList::Render(WebContext& context, WebRender* o) {
  RenderTagged(*this, context, o, ordered ? "ol" : "ul", css, "\n", "\n");
}

WebLink::WebLink(const char* href) : href(href) {}
WebLink::~WebLink() = default;

void WebLink::Render(WebContext& context, WebRender* o) {
  RenderTagged(*this, context, o, "a", href, "", "");
}
