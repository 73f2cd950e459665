// Input elements of HTML forms: text and hidden fields, text areas, check
// boxes and drop-down lists.
//
// Every text (names, values, attribute texts) is written exactly as stored.
// Where a css text is empty, the blank before it is still written. Each
// element writes its children after its own output (WebField and
// WebCheckBoxField) or between its opening and closing tags (the lists).
//
// Thread safety: none.
#ifndef CGIFRAMEWORK_WEBFIELDS_H_
#define CGIFRAMEWORK_WEBFIELDS_H_

#include "cgiFramework/WebItem.h"
#include "common/UString.h"

class WebField : public WebItem {
 public:
  // Null texts count as "".
  WebField(const char* name, const char* type, const char* value,
           const char* css);
  ~WebField() override;

  // A type beginning with "textarea":
  //   "<%s name=\"%s\" %s >%s</textarea>" (type, name, css, value);
  // otherwise "<input type=%s name=\"%s\" %s>\n" (type, name, css) for an
  // empty value, else "<input type=%s name=\"%s\" value=\"%s\" %s>\n"
  // (type, name, value, css). Then the children.
  void Render(WebContext& context, WebRender* o) override;
  // True when `name` equals the field's name exactly.
  bool Match(const char* name) override;

  UString name;   // field name
  UString type;   // input type, or "textarea..."
  UString value;  // initial value
  UString css;    // further attribute text
};

class WebCheckBoxField : public WebField {
 public:
  // A field of type "checkbox"; a read-only box ignores clicks.
  WebCheckBoxField(const char* name, const char* value, const char* css,
                   bool readOnly);
  ~WebCheckBoxField() override;

  // "<input type=\"%s\" name=\"%s\" %s %s %s>\n" with (type, name, "checked"
  // or "", css, "onclick=\"return false;\"" or ""), then the children. The
  // box is checked when the value read as a decimal number is not 0 or its
  // first byte is the byte 1.
  void Render(WebContext& context, WebRender* o) override;

  bool readOnly;  // the browser must not change the box
};

class WebDropDownList : public WebItem {
 public:
  WebDropDownList(const char* name, const char* css);
  ~WebDropDownList() override;

  // "<select name=\"%s\" %s>\n", the children, "</select>\n".
  void Render(WebContext& context, WebRender* o) override;

  UString name;  // field name
  UString css;   // further attribute text
};

class WebDropDownListItem : public WebItem {
 public:
  WebDropDownListItem(bool selected, const char* value, const char* text);
  ~WebDropDownListItem() override;

  // "<option %s %s%s%s>%s": "selected" or ""; value="...", or nothing for an
  // empty value; the text. Then the children and "</option>\n".
  void Render(WebContext& context, WebRender* o) override;

  bool selected;  // the option is preselected
  UString value;  // submitted value; "" for none
  UString text;   // shown text
};

#endif  // CGIFRAMEWORK_WEBFIELDS_H_
