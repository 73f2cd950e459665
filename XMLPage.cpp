#include "XMLPage.h"

#include <cstdarg>
#include <cstdlib>
#include <cstring>

#include "cgiFramework/WebRender.h"

XMLPage::XMLPage()
    : header(
          "Cache-Control: no-cache, no-store, max-age=1, must-revalidate\n"
          "Content-type: \tapplication/xml\n\n") {}

XMLPage::~XMLPage() = default;

void XMLPage::Render(WebContext& context, WebRender* o) {
  if (!header.IsEmpty()) o->printf("%s", static_cast<char*>(header));
  o->printf("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n");
  WebItem::Render(context, o);
}

XMLItem::XMLItem(const char* name, const char* value, const char* tags, ...)
    : name(name) {
  if (tags != nullptr) {
    va_list args;
    va_start(args, tags);
    this->tags.vFormat(tags, args);
    va_end(args);
  }
  SetLiteral(value);
}

XMLItem::XMLItem(const char* name, int value, const char* tags, ...)
    : name(name) {
  if (tags != nullptr) {
    va_list args;
    va_start(args, tags);
    this->tags.vFormat(tags, args);
    va_end(args);
  }
  Set(value);
}

XMLItem::~XMLItem() = default;

void XMLItem::SetTags(const char* format, ...) {
  va_list args;
  va_start(args, format);
  tags.vFormat(format, args);
  va_end(args);
}

void XMLItem::Set(const char* format, ...) {
  va_list args;
  va_start(args, format);
  svalue.vFormat(format, args);
  va_end(args);
}

void XMLItem::Set(int value) { svalue.Format("%d", value); }

void XMLItem::SetLiteral(const char* value) {
  svalue = "";
  if (value == nullptr) return;
  for (const char* p = value; *p != '\0'; ++p) {
    svalue += *p;
    if (p[0] == '%' && p[1] == '%') ++p;
  }
}

void XMLItem::Parse(const char* s, UString& out) {
  if (s == nullptr) return;
  for (; *s != '\0'; ++s) {
    switch (*s) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      default:
        out += *s;
    }
  }
}

XMLItem::operator bool() const { return strcmp(svalue, "1") == 0; }

XMLItem::operator int() const {
  return static_cast<int>(strtol(svalue, nullptr, 10));
}

void XMLItem::Render(WebContext& context, WebRender* o) {
  UString n, v, t;
  Parse(name, n);
  Parse(svalue, v);
  Parse(tags, t);
  char* N = n;
  char* T = t;
  if (!svalue.IsEmpty() || contains.Size() > 0) {
    char* V = v;
    const char* E = v.IsEmpty() ? "\n" : "";
    if (t.IsEmpty()) {
      o->printf("<%s>%s%s", N, V, E);
    } else {
      o->printf("<%s %s>%s%s", N, T, V, E);
    }
    WebItem::Render(context, o);
    o->printf("</%s>\n", N);
  } else if (t.IsEmpty()) {
    o->printf("<%s/>\n", N);
  } else {
    o->printf("<%s %s/>\n", N, T);
  }
}
