// Fuzzes the multipart body parser through the request context's own path:
// the body is read from file descriptor 0. Every part's data must lie inside
// the body.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <string>

#include "fuzz/WebFuzzSupport.h"

namespace {

// Makes `data` the whole content of standard input, read from its start.
void FeedStdin(const uint8_t* data, size_t size) {
  static const int body = [] {
    int fd = memfd_create("body", 0);
    webfuzz::Check(fd >= 0, "memfd_create");
    return fd;
  }();
  webfuzz::Check(ftruncate(body, 0) == 0, "ftruncate");
  webfuzz::Check(pwrite(body, data, size, 0) == static_cast<ssize_t>(size),
                 "pwrite");
  webfuzz::Check(lseek(body, 0, SEEK_SET) == 0, "lseek");
  webfuzz::Check(dup2(body, STDIN_FILENO) == STDIN_FILENO, "dup2");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  webfuzz::Start();
  if (size == 0) return 0;
  FeedStdin(data, size);
  setenv("CONTENT_LENGTH", std::to_string(size).c_str(), 1);
  setenv("CONTENT_TYPE", "multipart/form-data; boundary=B", 1);
  try {
    WebContext context("", nullptr);
    const char* begin = context.fbuf;
    const char* end = begin + size;
    for (WebArgument* arg : context.arguments) {
      if (arg->data == nullptr) continue;
      webfuzz::Check(arg->data >= begin && arg->data <= end &&
                         arg->length >= 0 && arg->length <= end - arg->data,
                     "part data outside the body");
    }
  } catch (const char*) {
  }
  return 0;
}
