// Output sinks for rendered pages: every element writes its text through a
// WebRender's printf.
//
// WebRender is the interface; StdoutWebRender writes to standard output (the
// program's responses), UStringWebRender collects everything into a string
// (tests, embedded documents) and FileWebRender writes to a stdio stream.
// Write errors are ignored. A sink is owned by its creator and must outlive
// every rendering into it.
//
// Thread safety: none; one sink belongs to one thread.
#ifndef CGIFRAMEWORK_WEBRENDER_H_
#define CGIFRAMEWORK_WEBRENDER_H_

#include <cstdarg>
#include <cstdio>

#include "common/UString.h"

class WebRender {
 public:
  WebRender() = default;
  virtual ~WebRender() = default;
  WebRender(const WebRender&) = delete;
  WebRender& operator=(const WebRender&) = delete;

  // Formats with the printf conventions and passes the result on through
  // vprintf. `format` must suit its arguments.
  void printf(const char* format, ...) __attribute__((format(printf, 2, 3)));
  // Writes the formatted text to the sink.
  virtual void vprintf(const char* format, va_list args) = 0;
};

// Writes to standard output.
class StdoutWebRender : public WebRender {
 public:
  void vprintf(const char* format, va_list args) override;
};

// Appends everything written to `output`.
class UStringWebRender : public WebRender {
 public:
  void vprintf(const char* format, va_list args) override;

  UString output;  // everything written so far, in order
  UString buffer;  // the text of the latest call
};

// Writes to the stream `f`; drops the output while `f` is null.
class FileWebRender : public WebRender {
 public:
  void vprintf(const char* format, va_list args) override;

  FILE* f = nullptr;  // the stream; set (and closed) by the owner
};

#endif  // CGIFRAMEWORK_WEBRENDER_H_
