// Standard output carries the one HTTP answer of the process. Everything the
// program writes there goes through StdoutAnswer, which counts the bytes:
// once the first byte is out, a later failure may be reported only on
// standard error (an error page appended to a begun answer would corrupt it),
// and the request log reports the count. A persistent process (FastCGI)
// redirects the answer of each request to that request's AnswerStream.
//
// Thread safety: none; the program answers one request on one thread.
#ifndef ANSWEROUTPUT_H_
#define ANSWEROUTPUT_H_

#include <sys/types.h>

#include <cstdarg>
#include <cstdint>

#include "cgiFramework/WebRender.h"

// Where an answer goes instead of standard output.
class AnswerStream {
 public:
  virtual ~AnswerStream() = default;
  // Writes all `n` bytes of `data`; false when they cannot be (the client
  // went away).
  virtual bool Write(const char* data, size_t n) = 0;
};

class StdoutAnswer {
 public:
  // Sends everything from now on to `stream` (owned by the caller, which
  // keeps it alive until it redirects again); null restores standard
  // output.
  static void Redirect(AnswerStream* stream);

  // Bytes of the answer handed to standard output so far by this process,
  // through stdio or copied from a file.
  static uint64_t BytesWritten();

  // Formats with the printf conventions into stdio's standard output.
  static void Printf(const char* format, ...)
      __attribute__((format(printf, 1, 2)));
  static void VPrintf(const char* format, va_list args);

  // Copies exactly `length` bytes of the file open on `fd`, from offset 0, to
  // standard output after flushing what stdio holds: with sendfile(2) where
  // standard output allows it, else (and to a redirected answer) with large
  // reads and writes. Stops early
  // when the file ends sooner (it shrank) or standard output fails (the
  // client went away). Returns the number of bytes copied; a file that grew
  // meanwhile still gives `length` bytes, no more.
  static uint64_t CopyFile(int fd, uint64_t length);

 private:
  // CopyFile's fallback from `offset` on: read(2) and write(2).
  static uint64_t CopyByReading(int fd, off_t offset, uint64_t length);
  // Writes all `n` bytes of `data` to the answer; false on failure.
  static bool WriteAll(const char* data, size_t n);

  static uint64_t bytes_written;
  static AnswerStream* stream;  // null: standard output
};

// A page sink that writes to standard output through StdoutAnswer.
class AnswerWebRender : public WebRender {
 public:
  void vprintf(const char* format, va_list args) override;
};

#endif  // ANSWEROUTPUT_H_
