#include "cgiFramework/WebCookie.h"

#include <strings.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "cgiFramework/WebContext.h"

namespace {

const char* const kWeekdays[] = {"Sunday",   "Monday", "Tuesday", "Wednesday",
                                 "Thursday", "Friday", "Saturday"};
const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                               "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// Room for the caller-formatted part of a URL, terminator included; longer
// texts are cut.
constexpr size_t kUrlFormatSize = 4096;

// Appends `c` to `t` as "%" and two upper-case hexadecimal digits.
void AppendHex(UString& t, unsigned char c) {
  char escape[4];
  snprintf(escape, sizeof escape, "%%%02X", c);
  t += escape;
}

// Appends `s` to `t` with every byte listed in `special` written through
// AppendHex.
void AppendEscaped(UString& t, const char* s, const char* special) {
  if (s == nullptr) return;
  for (; *s != '\0'; ++s) {
    if (strchr(special, *s) != nullptr) {
      AppendHex(t, static_cast<unsigned char>(*s));
    } else {
      t += *s;
    }
  }
}

}  // namespace

void AppendSafe(UString& t, const char* s) { AppendEscaped(t, s, " %&'"); }

void AppendSafe2(UString& t, const char* s) { AppendEscaped(t, s, " %'"); }

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
  UString encoded("");
  for (const char* p = v; p != nullptr && *p != '\0'; ++p) {
    unsigned char c = static_cast<unsigned char>(*p);
    if (c < 32) {
      AppendHex(encoded, c);
    } else {
      encoded += *p;
    }
  }
  value = encoded;
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
  const char* p = getenv("HTTP_COOKIE");
  if (p == nullptr) return;
  while (*p != '\0') {
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
  // The keyed lookup only reads the key.
  return static_cast<WebCookie*>(cookies.Find(const_cast<char*>(name)));
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
  UString url(script ? getenv("SCRIPT_NAME") : nullptr);
  bool first = true;
  OSListIterator it(&arguments);
  while (OSListObj* obj = it.Next()) {
    auto* arg = static_cast<WebArgument*>(obj);
    bool taken = arg->type == WebArgument::Context ||
                 (global && arg->type == WebArgument::Global) ||
                 (all && arg->type == WebArgument::Normal);
    if (!taken || arg->value.IsEmpty()) continue;
    UString setting = arg->name + "=";
    if (strcasestr(formatted, setting) != nullptr) continue;
    url += first ? '?' : '&';
    first = false;
    url += arg->name;
    url += '=';
    AppendSafe(url, arg->value);
  }
  if (formatted[0] != '\0') {
    url += first ? '?' : '&';
    AppendSafe2(url, formatted);
  }
  argument_string = url;
  return argument_string;
}
