#include "cgiFramework/WebValue.h"

#include <cstdarg>

#include "cgiFramework/WebRender.h"

WebValue::WebValue(const char* format, ...) {
  va_list args;
  va_start(args, format);
  value.vFormat(format, args);
  va_end(args);
}

WebValue::~WebValue() = default;

void WebValue::Render(WebContext& context, WebRender* o) {
  o->printf("%s", static_cast<char*>(value));
  WebItem::Render(context, o);
}
