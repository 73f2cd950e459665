// Standard output carries the one HTTP answer of the process. Everything the
// program writes there goes through StdoutAnswer, which counts the bytes:
// once the first byte is out, a later failure may be reported only on
// standard error (an error page appended to a begun answer would corrupt it),
// and the request log reports the count. The counts may be read from a signal
// handler (the watchdog's): they are lock-free atomics. A persistent process
// (FastCGI) redirects the answer of each request to that request's
// AnswerStream.
//
// Thread safety: none; the program answers one request at a time on one
// thread.
#ifndef ANSWEROUTPUT_H_
#define ANSWEROUTPUT_H_

#include <sys/types.h>

#include <atomic>
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
  // Starts the counts of a new answer at zero.
  static void Reset();
  // Sends everything from now on to `stream` (owned by the caller, which
  // keeps it alive until it redirects again); null restores standard
  // output.
  static void Redirect(AnswerStream* stream);

  // Bytes of the answer handed to standard output since Reset(), through
  // stdio or copied from a file. Async-signal-safe.
  static uint64_t BytesWritten();
  // The body whose length the answer announced (Content-Length) and
  // CopyFile() is sending: its length, and how many of its bytes standard
  // output has taken so far (a piece in progress when a signal arrives is
  // not counted yet). Both 0 when no such body was begun since Reset().
  // Async-signal-safe.
  static uint64_t BodyExpected();
  static uint64_t BodySent();

  // Formats with the printf conventions into stdio's standard output.
  static void Printf(const char* format, ...)
      __attribute__((format(printf, 1, 2)));
  static void VPrintf(const char* format, va_list args);

  // Sends the answer's body of announced length `length`: copies exactly
  // that many bytes of the file open on `fd`, from offset 0, to standard
  // output after flushing what stdio holds: with sendfile(2) where
  // standard output allows it, else (and to a redirected answer) with large
  // reads and writes. Stops early
  // when the file ends sooner (it shrank) or standard output fails (the
  // client went away). Returns the number of bytes copied; a file that grew
  // meanwhile still gives `length` bytes, no more.
  static uint64_t CopyFile(int fd, uint64_t length);

 private:
  // CopyFile's fallback from `offset` on: read(2) and write(2).
  static uint64_t CopyByReading(int fd, off_t offset, uint64_t length);
  // Writes all `n` bytes of the body at `data` to the answer; false on
  // failure.
  static bool WriteAll(const char* data, size_t n);
  // Counts `n` bytes of the body as taken by standard output.
  static void CountBody(uint64_t n);

  static std::atomic<uint64_t> bytes_written;
  static std::atomic<uint64_t> body_expected;
  static std::atomic<uint64_t> body_sent;
  static_assert(std::atomic<uint64_t>::is_always_lock_free,
                "the counts are read from a signal handler");
  static AnswerStream* stream;  // null: standard output
};

// A page sink that writes to standard output through StdoutAnswer.
class AnswerWebRender : public WebRender {
 public:
  void vprintf(const char* format, va_list args) override;
};

#endif  // ANSWEROUTPUT_H_
