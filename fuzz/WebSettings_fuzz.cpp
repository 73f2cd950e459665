// Fuzzes the settings-file syntax (query syntax with line ends as
// separators): no value may run on past the end of its line.
#include <cstdint>
#include <cstring>

#include "fuzz/WebFuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  WebContext& context = webfuzz::Context();
  context.arguments.Flush();
  std::string text = webfuzz::Text(data, size);
  context.AddWebArguments(text.c_str(), WebArgument::Hidden);
  for (WebArgument* arg : context.arguments) {
    webfuzz::Check(arg->type == WebArgument::Hidden, "argument type");
    // A value holds no raw line end; an escaped one (%0A) is the file's
    // own choice.
    if (strpbrk(text.c_str(), "%") == nullptr) {
      webfuzz::Check(strpbrk(arg->value, "\r\n") == nullptr,
                     "value runs past its line");
    }
  }
  return 0;
}
