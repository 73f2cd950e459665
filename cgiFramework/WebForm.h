// WebForm: an HTML form that carries the request's page-wide arguments along
// as hidden fields.
//
// Rendering adds hidden fields to the form itself: the Global and Context
// arguments of the request (unless Globals chose the arguments instead), and
// on every rendering a "nodefaults" field that marks the form as submitted.
// A form rendered twice therefore carries "nodefaults" twice.
//
// Thread safety: none.
#ifndef CGIFRAMEWORK_WEBFORM_H_
#define CGIFRAMEWORK_WEBFORM_H_

#include "cgiFramework/WebItem.h"
#include "common/UString.h"

// Limits of the name list given to WebForm::Globals: names beyond the first
// kGlobalsMaxNames, and text beyond the first kGlobalsMaxText bytes, are not
// read.
constexpr int kGlobalsMaxNames = 1000;
constexpr int kGlobalsMaxText = 8192;

class WebForm : public WebItem {
 public:
  // Null texts count as "". `doGlobals` is set.
  WebForm(const char* name, const char* method, const char* action,
          const char* css);
  ~WebForm() override;

  // Adds a hidden field for every argument (of any type) named in the
  // comma-separated `list` (blanks before each name skipped) that the form
  // does not already hold a field for, then clears `doGlobals`.
  void Globals(WebContext& context, const char* list);

  // Writes "<form name=\"%s\" method=\"%s\" action=\"%s\" %s>\n"; with
  // `doGlobals`, first adds a hidden field for each Global and Context
  // argument the form holds no field for; adds the hidden field
  // "nodefaults"; renders the children and writes "</form>\n".
  void Render(WebContext& context, WebRender* o) override;

  UString name;    // form name
  UString method;  // "get" or "post"
  UString action;  // target URL
  UString css;     // further attribute text
  bool doGlobals;  // rendering adds the Global and Context arguments

 private:
  // Adds a hidden field `name` = `value` unless the form holds one. The
  // value is the argument's own value: a default is not repeated.
  void AddHidden(const char* name, const char* value);
};

#endif  // CGIFRAMEWORK_WEBFORM_H_
