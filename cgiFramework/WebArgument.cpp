#include "cgiFramework/WebArgument.h"

#include <strings.h>

#include <cstdlib>
#include <cstring>

WebArgument::WebArgument() : type(Normal), data(nullptr), length(0), depth(0) {}

WebArgument::~WebArgument() = default;

bool WebArgument::IsKey(char* key) { return key != nullptr && name == key; }

WebArgument::operator char*() { return value.IsEmpty() ? def : value; }

WebArgument::operator int() {
  return static_cast<int>(strtol(static_cast<char*>(*this), nullptr, 10));
}

void WebArgument::SetDef(const char* d) { def = d; }

WebArgument& WebArgument::operator=(const char* v) {
  value = v;
  return *this;
}

WebArgument& WebArgument::operator=(int v) {
  value.Format("%d", v);
  return *this;
}

void WebArgument::CheckBox() {
  value = (value == "on" || value == "On") ? "1" : "0";
}

bool WebArgument::operator==(const char* s) {
  return s != nullptr && value == s;
}

bool WebArgument::operator!=(const char* s) { return !(*this == s); }

WebIndexObj::WebIndexObj(WebArgument* Aarg, bool AnumericalOrder,
                         bool AdescendingOrder)
    : arg(Aarg),
      numericalOrder(AnumericalOrder),
      descendingOrder(AdescendingOrder) {}

int WebIndexObj::Compare(OSBTreeObj* other) {
  char* mine = *arg;
  char* theirs = *static_cast<WebIndexObj*>(other)->arg;
  int result;
  if (numericalOrder) {
    long a = strtol(mine, nullptr, 10);
    long b = strtol(theirs, nullptr, 10);
    result = (a > b) - (a < b);
  } else {
    result = strcasecmp(mine, theirs);
  }
  return descendingOrder ? -result : result;
}
