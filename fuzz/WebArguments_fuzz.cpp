// Fuzzes the query-string and url-encoded body parser, and the URLs built
// from what it parsed.
#include <cstdint>
#include <cstring>

#include "fuzz/WebFuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  WebContext& context = webfuzz::Context();
  context.arguments.Flush();
  context.AddWebArguments(webfuzz::Text(data, size).c_str(),
                          WebArgument::Normal);
  for (WebArgument* arg : context.arguments) {
    webfuzz::Check(arg->type == WebArgument::Normal, "argument type");
  }
  context["pagename"].type = WebArgument::Global;
  const char* url = context.GetFullURL(nullptr);
  context.IsSameArgument("pagename", url);
  context.GetPageURL("cmd=%s", "x y");
  return 0;
}
