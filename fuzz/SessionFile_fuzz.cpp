// The session file parser on any bytes: it never reads out of bounds, and
// what it makes of a file is written back and read again unchanged.
#include <cstddef>
#include <cstdint>
#include <string>

#include "cgiFramework/WebSession.h"
#include "kernel/OSKernel.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool started = (os_startup(0, 0, nullptr), true);
  (void)started;
  std::string content(reinterpret_cast<const char*>(data), size);
  OSTypedList<WebSessionVar> vars(1);
  ParseSessionFile(content, vars);
  std::string written = FormatSessionFile(vars);
  OSTypedList<WebSessionVar> again(1);
  ParseSessionFile(written, again);
  if (FormatSessionFile(again) != written) __builtin_trap();
  return 0;
}
