// One session variable: a named text carried from one request of a client to
// the next in the client's session file.
//
// Session variables live in WebContext::session_vars, which owns them; the
// context loads them when the session is initialised and writes them back,
// one "name=value" line each, when it is destroyed (see WebContext's session
// operations). Other programs of the portal read the same files, so the
// format has no escapes: values are written byte for byte, except that CR
// and LF become "%0D" and "%0A" (a line end would add variables of its
// own); a variable whose name holds "=", CR or LF is not written. Lines of
// any length are read whole.
#ifndef CGIFRAMEWORK_WEBSESSION_H_
#define CGIFRAMEWORK_WEBSESSION_H_

#include "common/UString.h"
#include "kernel/OSListObj.h"

// The directory of the session files, "<prefix>_<identifier>" each (under
// VXML_ROOT when that is set, see SitePath).
inline constexpr char kSessionDir[] = "/Korvelund/sessions";

class WebSessionVar : public OSListObj {
 public:
  // Empty name, value and default.
  WebSessionVar();
  ~WebSessionVar() override;
  WebSessionVar(const WebSessionVar&) = delete;
  WebSessionVar& operator=(const WebSessionVar&) = delete;

  // True when `key` equals `name` exactly.
  bool IsKey(char* key) override;

  // `value`, or `def` when `value` is empty. Valid until either changes.
  operator char*();
  // That text read as a base-10 number; 0 when it is not a number.
  operator int();

  void SetDef(const char* d);
  WebSessionVar& operator=(const char* v);
  // Sets `value` to `v` formatted "%d".
  WebSessionVar& operator=(int v);

  // Compare `value` (not the default) exactly with `s`.
  bool operator==(const char* s);
  bool operator!=(const char* s);

  UString name;   // variable name
  UString value;  // variable value
  UString def;    // used when value is empty
};

#endif  // CGIFRAMEWORK_WEBSESSION_H_
