#include "cgiFramework/WebRender.h"

void WebRender::printf(const char* format, ...) {
  va_list args;
  va_start(args, format);
  vprintf(format, args);
  va_end(args);
}

void StdoutWebRender::vprintf(const char* format, va_list args) {
  ::vprintf(format, args);
}

void UStringWebRender::vprintf(const char* format, va_list args) {
  buffer.vFormat(format, args);
  output += buffer;
}

void FileWebRender::vprintf(const char* format, va_list args) {
  if (f != nullptr) vfprintf(f, format, args);
}
