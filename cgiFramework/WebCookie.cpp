#include "cgiFramework/WebCookie.h"

#include <strings.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "cgiFramework/RequestInput.h"
#include "cgiFramework/WebContext.h"

namespace {

const char* const kWeekdays[] = {"Sunday",   "Monday", "Tuesday", "Wednesday",
                                 "Thursday", "Friday", "Saturday"};
const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                               "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// Room for the caller-formatted part of a URL, terminator included; longer
// texts are cut.
constexpr size_t kUrlFormatSize = 4096;

// Appends `c` to `out` as "%" and two upper-case hexadecimal digits.
void AppendHex(std::string& out, unsigned char c) {
  static const char kDigits[] = "0123456789ABCDEF";
  out += '%';
  out += kDigits[c >> 4];
  out += kDigits[c & 0xF];
}

// `s` with every byte for which `escaped(byte)` is true written through
// AppendHex. The text is built whole and appended once: a UString measures
// its text on every append.
template <typename Escaped>
std::string Escape(const char* s, Escaped escaped) {
  std::string out;
  if (s == nullptr) return out;
  for (; *s != '\0'; ++s) {
    unsigned char c = static_cast<unsigned char>(*s);
    if (escaped(c)) {
      AppendHex(out, c);
    } else {
      out += *s;
    }
  }
  return out;
}

// The bytes AppendSafe escapes; AppendSafe2 keeps "&" of these.
bool IsUnsafeInURL(unsigned char c) {
  return c == ' ' || c == '%' || c == '&' || c == '\'';
}
bool IsUnsafeInURLPart(unsigned char c) { return c != '&' && IsUnsafeInURL(c); }

// True for the bytes a cookie value may not hold as they stand (outside
// RFC 6265's cookie-octet): controls, blank, '"', ',', ';', '\\', DEL and
// every byte from 0x80 up.
bool OutsideCookieOctet(unsigned char c) {
  return c <= 0x20 || c >= 0x7F || c == '"' || c == ',' || c == ';' ||
         c == '\\';
}

}  // namespace

void AppendSafe(UString& t, const char* s) {
  t += Escape(s, IsUnsafeInURL).c_str();
}

void AppendSafe2(UString& t, const char* s) {
  t += Escape(s, IsUnsafeInURLPart).c_str();
}

// --- WebCookie ---------------------------------------------------------------

WebCookie::WebCookie() : updated(false) {}

WebCookie::~WebCookie() = default;

bool WebCookie::IsKey(char* key) { return key != nullptr && name == key; }

WebCookie::operator char*() { return value; }

WebCookie::operator int() {
  return static_cast<int>(strtol(value, nullptr, 10));
}

WebCookie& WebCookie::operator=(const char* v) {
  updated = true;
  value = Escape(v, OutsideCookieOctet).c_str();
  return *this;
}

WebCookie& WebCookie::operator=(int v) {
  updated = true;
  value.Format("%d", v);
  return *this;
}

void WebCookie::SetExpired() {
  expires = "Sat, 16-Sep-2006 00:00:00 GMT";
  updated = true;
}

void WebCookie::SetExpires(int seconds) {
  time_t when = time(nullptr) + seconds;
  struct tm utc;
  gmtime_r(&when, &utc);
  expires.Format("%s, %02d-%s-%04d %02d:%02d:%02d GMT", kWeekdays[utc.tm_wday],
                 utc.tm_mday, kMonths[utc.tm_mon], utc.tm_year + 1900,
                 utc.tm_hour, utc.tm_min, utc.tm_sec);
  updated = true;
}

bool WebCookie::operator==(const char* s) { return s != nullptr && value == s; }

bool WebCookie::operator!=(const char* s) { return !(*this == s); }

// --- The context's cookies ---------------------------------------------------

void WebContext::ScanWebCookies() {
  cookies.Flush();
  const char* p = RequestParam("HTTP_COOKIE");
  if (p == nullptr) return;
  for (int read = 0; *p != '\0' && read < kMaxCookies; ++read) {
    auto* cookie = new WebCookie;
    size_t name_length = strcspn(p, "=;");
    cookie->name = std::string(p, name_length).c_str();
    p += name_length;
    if (*p == '=') {
      ++p;
      size_t value_length = strcspn(p, ";");
      cookie->value = std::string(p, value_length).c_str();
      p += value_length;
    }
    if (*p == ';') {
      ++p;
      while (*p == ' ') ++p;
    }
    cookies.Append(cookie);
  }
}

WebCookie* WebContext::FindWebCookie(const char* name) {
  return cookies.FindKey(name);
}

WebCookie& WebContext::GetWebCookie(const char* name) {
  if (WebCookie* cookie = FindWebCookie(name)) return *cookie;
  auto* cookie = new WebCookie;
  cookie->name = name;
  cookies.Append(cookie);
  return *cookie;
}

bool WebContext::HasWebCookie(const char* name) {
  return FindWebCookie(name) != nullptr;
}

void WebContext::SetWebCookie(const char* name, const char* value) {
  GetWebCookie(name) = value;
}

void WebContext::SetWebCookie(const char* name, int value) {
  GetWebCookie(name) = value;
}

// --- The program's own URLs --------------------------------------------------

char* WebContext::GetURL(const char* format, ...) {
  va_list args;
  va_start(args, format);
  char* url = GetSpecificURL(format, args, true, false, false);
  va_end(args);
  return url;
}

char* WebContext::GetPageURL(const char* format, ...) {
  va_list args;
  va_start(args, format);
  char* url = GetSpecificURL(format, args, true, true, false);
  va_end(args);
  return url;
}

char* WebContext::GetFullURL(const char* format, ...) {
  va_list args;
  va_start(args, format);
  char* url = GetSpecificURL(format, args, true, true, true);
  va_end(args);
  return url;
}

char* WebContext::GetSpecificURL(const char* format, va_list vargs, bool script,
                                 bool global, bool all) {
  char formatted[kUrlFormatSize] = "";
  if (format != nullptr) vsnprintf(formatted, sizeof formatted, format, vargs);
  // Built whole and stored once: appending to a UString measures its text
  // each time, which would make a URL of many arguments cost their square.
  const char* script_name = script ? RequestParam("SCRIPT_NAME") : nullptr;
  std::string url(script_name != nullptr ? script_name : "");
  bool first = true;
  for (WebArgument* arg : arguments) {
    bool taken = arg->type == WebArgument::Context ||
                 (global && arg->type == WebArgument::Global) ||
                 (all && arg->type == WebArgument::Normal);
    if (!taken || arg->value.IsEmpty()) continue;
    if (formatted[0] != '\0' &&
        strcasestr(formatted, arg->name + "=") != nullptr) {
      continue;
    }
    url += first ? '?' : '&';
    first = false;
    url += static_cast<char*>(arg->name);
    url += '=';
    url += Escape(arg->value, IsUnsafeInURL);
  }
  if (formatted[0] != '\0') {
    url += first ? '?' : '&';
    url += Escape(formatted, IsUnsafeInURLPart);
  }
  argument_string = url.c_str();
  return argument_string;
}
