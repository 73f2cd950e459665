// Fuzzes the settings-file syntax (query syntax with line ends as
// separators, comment and blank lines skipped): no value may run on past the
// end of its line, and every pair lies on lines of the text.
#include <algorithm>
#include <cstdint>
#include <cstring>

#include "cgiFramework/Settings.h"
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
  const char* bytes = reinterpret_cast<const char*>(data);
  const int lines = 1 + static_cast<int>(std::count(bytes, bytes + size, '\n'));
  SettingsText settings = ParseSettings(bytes, size);
  webfuzz::Check(settings.nul_line >= 0 && settings.nul_line <= lines,
                 "NUL line");
  for (const SettingsEntry& entry : settings.entries) {
    webfuzz::Check(entry.line >= 1 && entry.line <= entry.last_line &&
                       entry.last_line <= lines,
                   "pair outside the text");
    if (memchr(bytes, '%', size) == nullptr) {
      webfuzz::Check(entry.value.find_first_of("\r\n") == std::string::npos,
                     "settings value runs past its line");
    }
  }
  return 0;
}
