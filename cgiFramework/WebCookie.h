// One HTTP cookie, as received in HTTP_COOKIE or as set by the program, and
// the URL escaping helpers used when the request context builds URLs.
//
// Cookies live in WebContext::cookies, which owns them. The page renderer
// writes a "Set-Cookie" line for every cookie whose `updated` flag is set;
// every setter below sets it.
#ifndef CGIFRAMEWORK_WEBCOOKIE_H_
#define CGIFRAMEWORK_WEBCOOKIE_H_

#include "common/UString.h"
#include "kernel/OSListObj.h"

class WebCookie : public OSListObj {
 public:
  // All texts empty, not updated.
  WebCookie();
  ~WebCookie() override;
  WebCookie(const WebCookie&) = delete;
  WebCookie& operator=(const WebCookie&) = delete;

  // True when `key` equals `name` exactly.
  bool IsKey(char* key) override;

  // The `value` text; valid until the value changes.
  operator char*();
  // `value` read as a base-10 number; 0 when it is not a number.
  operator int();

  // Marks the cookie updated and stores `v` with every byte that RFC 6265
  // does not allow in a cookie value (controls, blank, '"', ",", ";", "\\",
  // DEL and bytes from 0x80 up) written as "%" and two upper-case
  // hexadecimal digits, so that no text can add attributes to the
  // "Set-Cookie" line; all other bytes ("%" included) are kept as they stand.
  // A null `v` gives the empty value.
  WebCookie& operator=(const char* v);
  // Marks the cookie updated; `value` becomes `v` formatted "%d".
  WebCookie& operator=(int v);

  // Sets `expires` to a date in the past so that the browser drops the
  // cookie, and marks it updated.
  void SetExpired();
  // Sets `expires` to the current time plus `seconds` in UTC, as
  // "Tuesday, 08-Dec-2026 04:00:00 GMT", and marks the cookie updated.
  void SetExpires(int seconds);

  // Compare `value` exactly with `s`.
  bool operator==(const char* s);
  bool operator!=(const char* s);

  UString name;     // cookie name
  UString value;    // as received, or as encoded when set
  UString expires;  // expiry date text; empty means none
  UString path;     // path attribute; empty means none
  UString domain;   // domain attribute; empty means none
  UString secure;   // written as a further attribute when not empty
  bool updated;     // changed by the program: must be sent back
};

// Appends `s` to `t` with a blank written as "%20", "%" as "%25", "&" as
// "%26" and a single quote as "%27"; every other byte as it stands. A null
// `s` appends nothing.
void AppendSafe(UString& t, const char* s);
// As AppendSafe, but "&" stays as it is (for texts holding several
// arguments).
void AppendSafe2(UString& t, const char* s);

#endif  // CGIFRAMEWORK_WEBCOOKIE_H_
