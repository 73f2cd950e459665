#include "cgiFramework/WebArgument.h"

#include <strings.h>

#include <cstdlib>
#include <cstring>
#include <string>

namespace {

// The value of hexadecimal digit `c`: a letter counts as its lower-case form
// minus 'a' plus 10, anything else as its code minus '0'. Malformed digits
// thus give arbitrary values instead of errors.
int HexValue(char c) {
  unsigned char u = static_cast<unsigned char>(c);
  if (u >= 'A' && u <= 'Z') u = static_cast<unsigned char>(u - 'A' + 'a');
  if (u >= 'a' && u <= 'z') return u - 'a' + 10;
  return u - '0';
}

// Decodes the character at `s` ("+" is a blank, "%%" a percent sign, "%xy"
// the byte of the two hexadecimal digits modulo 256), appends it to `out`
// and returns the number of characters consumed. A "%" with fewer than two
// characters before the end of the text is kept as it stands, so nothing is
// read past the terminator.
size_t DecodeChar(const char* s, std::string& out) {
  if (s[0] == '+') {
    out += ' ';
    return 1;
  }
  if (s[0] != '%') {
    out += s[0];
    return 1;
  }
  if (s[1] == '%') {
    out += '%';
    return 2;
  }
  if (s[1] == '\0' || s[2] == '\0') {
    out += '%';
    return 1;
  }
  out += static_cast<char>((HexValue(s[1]) * 16 + HexValue(s[2])) & 0xFF);
  return 3;
}

}  // namespace

const char* ReadArgumentPair(const char* p, bool line_ends, std::string& name,
                             std::string& value, bool* has_equals) {
  while (*p != '\0' && *p != '=') p += DecodeChar(p, name);
  if (has_equals != nullptr) *has_equals = *p == '=';
  if (*p != '=') return p;
  ++p;
  bool double_quoted = false;
  bool single_quoted = false;
  while (*p != '\0') {
    char c = *p;
    if (line_ends && (c == '\r' || c == '\n')) break;
    if (c == '&' && !double_quoted && !single_quoted) break;
    if (c == '"') double_quoted = !double_quoted;
    if (c == '\'') single_quoted = !single_quoted;
    p += DecodeChar(p, value);
  }
  return p;
}

const char* SkipArgumentSeparators(const char* p) {
  while (*p == '&' || *p == '\r' || *p == '\n') ++p;
  return p;
}

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
