// Fuzzes the JSON body parser and the tree readers.
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "json/json.h"
#include "kernel/OSKernel.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool started = (os_startup(0, 0, nullptr), true);
  (void)started;
  // Exactly the input and a terminator, so that a read past it shows.
  std::vector<char> text(data, data + size);
  text.push_back('\0');
  try {
    JsonObj root(text.data(), nullptr, 0);
    char date[20];
    root.GetDateTime("t", date);
    root.String("s");
    UString query("FO:a;FA:b;SZ");
    UString count;
    root.Query(query, count);
  } catch (const char*) {
  }
  return 0;
}
