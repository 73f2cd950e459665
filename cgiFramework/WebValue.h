// WebValue: an element that writes a ready-made text exactly as stored (no
// escaping, no line break), followed by its children.
#ifndef CGIFRAMEWORK_WEBVALUE_H_
#define CGIFRAMEWORK_WEBVALUE_H_

#include "cgiFramework/WebItem.h"
#include "common/UString.h"

class WebValue : public WebItem {
 public:
  // `value` becomes the printf-formatted text; `format` must suit the
  // arguments and never comes from request data (pass "%s" and the text).
  explicit WebValue(const char* format, ...)
      __attribute__((format(printf, 2, 3)));
  ~WebValue() override;

  void Render(WebContext& context, WebRender* o) override;

  UString value;  // written verbatim
};

#endif  // CGIFRAMEWORK_WEBVALUE_H_
