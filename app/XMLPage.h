// Generic XML documents: XMLPage, the document root with its HTTP header and
// XML declaration, and XMLItem, an element with a name, attribute text and
// text content.
//
// XMLItem escapes "&", "<" and ">" (as "&amp;", "&lt;", "&gt;") in its name,
// its attribute text and its text content when it renders, and writes U+FFFD
// for each byte that no XML document may hold (control characters other
// than tab, line feed and carriage return, bytes outside well-formed UTF-8,
// the bytes of U+FFFE and U+FFFF), so that a document stays well-formed
// whatever text it carries; every other byte, quotes included, is written
// unchanged. The output has no indentation:
//   - no text and no children:  <name/> or <name tags/>, then a line break;
//   - otherwise: <name> or <name tags>, the text, a line break only when the
//     text is empty, the children, then </name> and a line break.
//
// Thread safety: none.
#ifndef XMLPAGE_H_
#define XMLPAGE_H_

#include <cstdarg>

#include "cgiFramework/WebItem.h"
#include "common/UString.h"

class XMLPage : public WebItem {
 public:
  // `header` = the HTTP header of an XML response: "Cache-Control: no-cache,
  // no-store, max-age=1, must-revalidate\nContent-type: \tapplication/xml\n\n".
  XMLPage();
  ~XMLPage() override;

  // Writes `header` (when not empty), the XML declaration
  // "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n" and the children; the
  // first child is the document's root element.
  void Render(WebContext& context, WebRender* o) override;

  UString header;  // written before the XML declaration
};

class XMLItem : public WebItem {
 public:
  // Element `name`; `tags`, when not null, is formatted with the trailing
  // arguments into the attribute text. `value` is literal text read as a
  // format without arguments: "%%" stands for a percent sign, any other
  // conversion is kept as written (it has no argument to read). Store outside
  // text afterwards with Set("%s", text). A null `name` or `value` counts as
  // "".
  XMLItem(const char* name, const char* value, const char* tags, ...)
      __attribute__((format(printf, 4, 5)));
  // As above, with the text content the decimal form of `value`.
  XMLItem(const char* name, int value, const char* tags, ...)
      __attribute__((format(printf, 4, 5)));
  ~XMLItem() override;

  // Replaces the attribute text with the formatted text, already laid out as
  // XML attributes: name="value" pairs separated by one blank.
  void SetTags(const char* format, ...) __attribute__((format(printf, 2, 3)));
  // Replaces the text content with the formatted text.
  void Set(const char* format, ...) __attribute__((format(printf, 2, 3)));
  // Replaces the text content with `value` in signed decimal.
  void Set(int value);
  // Appends `s` (null: nothing) to `out` with "&", "<", ">" escaped and
  // the bytes an XML document cannot hold replaced by U+FFFD.
  static void Parse(const char* s, UString& out);

  // The text content; valid until it changes.
  operator char*() const { return svalue; }
  // True exactly when the text content is "1".
  operator bool() const;
  // The text content read as a signed base-10 number (strtol); 0 when it
  // holds no digits.
  operator int() const;

  void Render(WebContext& context, WebRender* o) override;

  UString name;    // element name
  UString tags;    // attribute text, already formatted as XML attributes
  UString svalue;  // text content

 private:
  // Sets the text content from a literal: "%%" becomes "%".
  void SetLiteral(const char* value);
  // Formats the attribute text from `format` (null: leaves it empty).
  void FormatTags(const char* format, va_list args);
};

#endif  // XMLPAGE_H_
