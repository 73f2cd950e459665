#include "cgiFramework/WebFields.h"

#include <cstdlib>
#include <cstring>

#include "cgiFramework/WebRender.h"

WebField::WebField(const char* name, const char* type, const char* value,
                   const char* css)
    : name(name), type(type), value(value), css(css) {}

WebField::~WebField() = default;

void WebField::Render(WebContext& context, WebRender* o) {
  char* n = name;
  char* t = type;
  char* v = value;
  char* c = css;
  if (strncmp(t, "textarea", 8) == 0) {
    o->printf("<%s name=\"%s\" %s >%s</textarea>", t, n, c, v);
  } else if (value.IsEmpty()) {
    o->printf("<input type=%s name=\"%s\" %s>\n", t, n, c);
  } else {
    o->printf("<input type=%s name=\"%s\" value=\"%s\" %s>\n", t, n, v, c);
  }
  WebItem::Render(context, o);
}

bool WebField::Match(const char* Aname) {
  return Aname != nullptr && name == Aname;
}

WebCheckBoxField::WebCheckBoxField(const char* name, const char* value,
                                   const char* css, bool readOnly)
    : WebField(name, "checkbox", value, css), readOnly(readOnly) {}

WebCheckBoxField::~WebCheckBoxField() = default;

void WebCheckBoxField::Render(WebContext& context, WebRender* o) {
  char* v = value;
  bool checked = strtol(v, nullptr, 10) != 0 || v[0] == 1;
  o->printf("<input type=\"%s\" name=\"%s\" %s %s %s>\n",
            static_cast<char*>(type), static_cast<char*>(name),
            checked ? "checked" : "", static_cast<char*>(css),
            readOnly ? "onclick=\"return false;\"" : "");
  WebItem::Render(context, o);
}

WebDropDownList::WebDropDownList(const char* name, const char* css)
    : name(name), css(css) {}

WebDropDownList::~WebDropDownList() = default;

void WebDropDownList::Render(WebContext& context, WebRender* o) {
  o->printf("<select name=\"%s\" %s>\n", static_cast<char*>(name),
            static_cast<char*>(css));
  WebItem::Render(context, o);
  o->printf("</select>\n");
}

WebDropDownListItem::WebDropDownListItem(bool selected, const char* value,
                                         const char* text)
    : selected(selected), value(value), text(text) {}

WebDropDownListItem::~WebDropDownListItem() = default;

void WebDropDownListItem::Render(WebContext& context, WebRender* o) {
  bool valued = !value.IsEmpty();
  o->printf("<option %s %s%s%s>%s", selected ? "selected" : "",
            valued ? "value=\"" : "", static_cast<char*>(value),
            valued ? "\"" : "", static_cast<char*>(text));
  WebItem::Render(context, o);
  o->printf("</option>\n");
}
