// Fuzzes the cookie header parser and the cookie setter: a value set from
// any text must hold only cookie octets, so that it cannot add attributes
// to its "Set-Cookie" line.
#include <cstdint>
#include <cstring>

#include "fuzz/WebFuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  WebContext& context = webfuzz::Context();
  std::string text = webfuzz::Text(data, size);
  setenv("HTTP_COOKIE", text.c_str(), 1);
  context.ScanWebCookies();
  unsetenv("HTTP_COOKIE");
  for (WebCookie* cookie : context.cookies) {
    webfuzz::Check(!cookie->updated, "received cookie marked updated");
  }
  context.SetWebCookie("_page0", text.c_str());
  for (const char* p = context.GetWebCookie("_page0").value; *p != '\0'; ++p) {
    unsigned char c = static_cast<unsigned char>(*p);
    webfuzz::Check(c > 0x20 && c < 0x7F && strchr("\";,\\", c) == nullptr,
                   "cookie value holds a byte outside cookie-octet");
  }
  return 0;
}
