#include "app/XMLPage.h"

#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <string>

#include "cgiFramework/WebRender.h"
#include "common/ConvertUTF.h"

namespace {

// U+FFFD in UTF-8: written in place of bytes that an XML document cannot
// hold.
const char kReplacement[] = "\xEF\xBF\xBD";

// The length of the character at `p` (before `end`) when XML 1.0 allows it:
// tab, line feed, carriage return, any other character from the blank on,
// as well-formed UTF-8, except U+FFFE and U+FFFF. 0 for a byte that starts
// no such character.
size_t XmlCharLength(const UTF8* p, const UTF8* end) {
  if (*p < 0x80) {
    return *p >= 0x20 || *p == '\t' || *p == '\n' || *p == '\r' ? 1 : 0;
  }
  size_t n = *p >= 0xF0 ? 4 : *p >= 0xE0 ? 3 : 2;
  if (static_cast<size_t>(end - p) < n || !isLegalUTF8Sequence(p, p + n)) {
    return 0;
  }
  if (n == 3 && p[0] == 0xEF && p[1] == 0xBF && p[2] >= 0xBE) return 0;
  return n;
}

}  // namespace

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
  SetLiteral(value);
  va_list args;
  va_start(args, tags);
  FormatTags(tags, args);
  va_end(args);
}

XMLItem::XMLItem(const char* name, int value, const char* tags, ...)
    : name(name) {
  va_list args;
  va_start(args, tags);
  FormatTags(tags, args);
  va_end(args);
  Set(value);
}

XMLItem::~XMLItem() = default;

void XMLItem::SetTags(const char* format, ...) {
  va_list args;
  va_start(args, format);
  tags.vFormat(format, args);
  va_end(args);
}

void XMLItem::FormatTags(const char* format, va_list args) {
  if (format != nullptr) tags.vFormat(format, args);
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
  const UTF8* p = reinterpret_cast<const UTF8*>(s);
  const UTF8* end = p + strlen(s);
  std::string text;
  while (p < end) {
    const size_t n = XmlCharLength(p, end);
    if (n == 0) {
      text += kReplacement;
      ++p;
      continue;
    }
    switch (*p) {
      case '&':
        text += "&amp;";
        break;
      case '<':
        text += "&lt;";
        break;
      case '>':
        text += "&gt;";
        break;
      default:
        text.append(reinterpret_cast<const char*>(p), n);
    }
    p += n;
  }
  out += text.c_str();
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
  // The blank before the attribute text only when there is one.
  const char* B = t.IsEmpty() ? "" : " ";
  if (!svalue.IsEmpty() || contains.Size() > 0) {
    char* V = v;
    const char* E = v.IsEmpty() ? "\n" : "";
    o->printf("<%s%s%s>%s%s", N, B, T, V, E);
    WebItem::Render(context, o);
    o->printf("</%s>\n", N);
  } else {
    o->printf("<%s%s%s/>\n", N, B, T);
  }
}
