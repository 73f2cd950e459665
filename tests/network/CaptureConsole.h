// A console for tests: starts the kernel, becomes the process Console for
// its lifetime and records each printed message, so that tests can check the
// exact diagnostics.
#ifndef TESTS_NETWORK_CAPTURECONSOLE_H_
#define TESTS_NETWORK_CAPTURECONSOLE_H_

#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "kernel/OSConsole.h"
#include "kernel/OSKernel.h"

class CaptureConsole : public OSConsole {
 public:
  CaptureConsole() : saved_((os_startup(0, 0, nullptr), Console)) {
    Console = this;
  }
  ~CaptureConsole() override { Console = saved_; }

  void vPrint(const char* fmt, va_list args) override {
    char text[4096];
    vsnprintf(text, sizeof(text), fmt, args);
    std::lock_guard<std::mutex> lock(mutex_);
    messages_.push_back(text);
  }
  // True when a message starts with `prefix` (or equals it, when `whole`).
  bool Has(const std::string& prefix, bool whole = true) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const std::string& m : messages_) {
      if (whole ? m == prefix : m.compare(0, prefix.size(), prefix) == 0)
        return true;
    }
    return false;
  }
  bool HasPrefix(const std::string& prefix) { return Has(prefix, false); }
  // How many messages start with `prefix`.
  int Count(const std::string& prefix) {
    std::lock_guard<std::mutex> lock(mutex_);
    int n = 0;
    for (const std::string& m : messages_) n += m.rfind(prefix, 0) == 0;
    return n;
  }
  bool Empty() {
    std::lock_guard<std::mutex> lock(mutex_);
    return messages_.empty();
  }
  void Clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    messages_.clear();
  }

 private:
  OSConsole* saved_;
  std::mutex mutex_;
  std::vector<std::string> messages_;
};

#endif  // TESTS_NETWORK_CAPTURECONSOLE_H_
