#include "cgiFramework/RequestInput.h"

#include <unistd.h>

#include <cstdlib>
#include <cstring>

namespace {

// The CGI process's request: its environment and standard input.
class ProcessInput : public RequestInput {
 public:
  const char* Param(const char* name) override { return getenv(name); }
  ssize_t ReadBody(char* buffer, size_t n) override {
    return read(STDIN_FILENO, buffer, n);
  }
};

ProcessInput process_input;
RequestInput* installed = nullptr;

}  // namespace

RequestInput* RequestInput::Current() {
  return installed != nullptr ? installed : &process_input;
}

void RequestInput::Install(RequestInput* input) { installed = input; }

const char* RequestParam(const char* name) {
  return RequestInput::Current()->Param(name);
}

RequestWithoutBody::RequestWithoutBody()
    : outer_(Current()), installed_(installed) {
  Install(this);
}

RequestWithoutBody::~RequestWithoutBody() { Install(installed_); }

const char* RequestWithoutBody::Param(const char* name) {
  if (strcmp(name, "CONTENT_LENGTH") == 0) return nullptr;
  return outer_->Param(name);
}

ssize_t RequestWithoutBody::ReadBody(char*, size_t) { return 0; }
