#include "cgiFramework/WebForm.h"

#include <cctype>
#include <cstring>
#include <string>

#include "cgiFramework/WebArgument.h"
#include "cgiFramework/WebContext.h"
#include "cgiFramework/WebFields.h"
#include "cgiFramework/WebRender.h"

WebForm::WebForm(const char* name, const char* method, const char* action,
                 const char* css)
    : name(name), method(method), action(action), css(css), doGlobals(true) {}

WebForm::~WebForm() = default;

void WebForm::Globals(WebContext& context, const char* list) {
  if (list != nullptr) {
    std::string text(list, strnlen(list, kGlobalsMaxText));
    size_t start = 0;
    for (int names = 0; names < kGlobalsMaxNames && start <= text.size();
         ++names) {
      size_t comma = text.find(',', start);
      if (comma == std::string::npos) comma = text.size();
      while (start < comma &&
             isspace(static_cast<unsigned char>(text[start]))) {
        ++start;
      }
      std::string wanted = text.substr(start, comma - start);
      start = comma + 1;
      if (wanted.empty()) continue;
      for (WebArgument* arg : context.arguments) {
        if (arg->name == wanted.c_str()) AddHidden(wanted.c_str(), arg->value);
      }
    }
  }
  doGlobals = false;
}

void WebForm::Render(WebContext& context, WebRender* o) {
  o->printf("<form name=\"%s\" method=\"%s\" action=\"%s\" %s>\n",
            static_cast<char*>(name), static_cast<char*>(method),
            static_cast<char*>(action), static_cast<char*>(css));
  if (doGlobals) {
    for (WebArgument* arg : context.arguments) {
      if (arg->type == WebArgument::Global ||
          arg->type == WebArgument::Context) {
        AddHidden(arg->name, arg->value);
      }
    }
  }
  Add(new WebField("nodefaults", "hidden", "nodefaults", nullptr));
  WebItem::Render(context, o);
  o->printf("</form>\n");
}

void WebForm::AddHidden(const char* Aname, const char* value) {
  if (Find(Aname) == nullptr)
    Add(new WebField(Aname, "hidden", value, nullptr));
}
