// Fuzz target: parsing search filter text. A filter that parses must encode
// into exactly the number of bytes it measures.
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "kernel/OSConsole.h"
#include "kernel/OSKernel.h"
#include "ldap/LDAPFilter.h"

namespace {

// Parse errors are reported through the console; dropped here.
class QuietConsole : public OSConsole {
 public:
  void vPrint(const char* /*fmt*/, va_list /*args*/) override {}
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static bool started = false;
  if (!started) {
    started = true;
    os_startup(0, 0, nullptr);
    Console = new QuietConsole;
  }
  const std::string text(reinterpret_cast<const char*>(data), size);
  LDAPFilter_tx filter(text.c_str());
  if (!filter.valid) return 0;
  std::vector<unsigned char> out(filter.Length());
  unsigned char* dp = out.data();
  filter.BerEncode(dp);
  if (dp != out.data() + out.size()) __builtin_trap();
  return 0;
}
