#include "app/AnswerOutput.h"

#include <poll.h>
#include <sys/sendfile.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <memory>

namespace {

// Largest piece handed to one sendfile(2) or read(2) call.
constexpr size_t kCopyPiece = 1 << 20;
// Buffer of the read/write fallback.
constexpr size_t kCopyBuffer = 256 * 1024;
// How long one wait for standard output to take more bytes may last when it
// is non-blocking; the whole request stays bounded by the watchdog.
constexpr int kWritableWaitMs = 10 * 1000;

// Waits until standard output takes more bytes; false after the wait ran
// out or failed.
bool WaitWritable() {
  struct pollfd p = {STDOUT_FILENO, POLLOUT, 0};
  int n;
  do {
    n = poll(&p, 1, kWritableWaitMs);
  } while (n < 0 && errno == EINTR);
  return n > 0 && (p.revents & (POLLERR | POLLHUP)) == 0;
}

}  // namespace

std::atomic<uint64_t> StdoutAnswer::bytes_written{0};
std::atomic<uint64_t> StdoutAnswer::body_expected{0};
std::atomic<uint64_t> StdoutAnswer::body_sent{0};
AnswerStream* StdoutAnswer::stream = nullptr;

void StdoutAnswer::Reset() {
  bytes_written = 0;
  body_expected = 0;
  body_sent = 0;
}

void StdoutAnswer::Redirect(AnswerStream* to) { stream = to; }

uint64_t StdoutAnswer::BytesWritten() { return bytes_written; }

uint64_t StdoutAnswer::BodyExpected() { return body_expected; }

uint64_t StdoutAnswer::BodySent() { return body_sent; }

void StdoutAnswer::Printf(const char* format, ...) {
  va_list args;
  va_start(args, format);
  VPrintf(format, args);
  va_end(args);
}

void StdoutAnswer::VPrintf(const char* format, va_list args) {
  if (stream == nullptr) {
    int n = vfprintf(stdout, format, args);
    if (n > 0) bytes_written += static_cast<uint64_t>(n);
    return;
  }
  char small[1024];
  va_list again;
  va_copy(again, args);
  int n = vsnprintf(small, sizeof small, format, args);
  std::unique_ptr<char[]> large;
  const char* text = small;
  if (n >= static_cast<int>(sizeof small)) {
    large.reset(new char[static_cast<size_t>(n) + 1]);
    vsnprintf(large.get(), static_cast<size_t>(n) + 1, format, again);
    text = large.get();
  }
  va_end(again);
  if (n > 0 && stream->Write(text, static_cast<size_t>(n))) {
    bytes_written += static_cast<uint64_t>(n);
  }
}

uint64_t StdoutAnswer::CopyFile(int fd, uint64_t length) {
  body_expected = length;
  body_sent = 0;
  if (stream != nullptr) return CopyByReading(fd, 0, length);
  if (fflush(stdout) != 0) return 0;
  off_t offset = 0;
  uint64_t copied = 0;
  while (copied < length) {
    size_t piece =
        static_cast<size_t>(std::min<uint64_t>(length - copied, kCopyPiece));
    ssize_t n = sendfile(STDOUT_FILENO, fd, &offset, piece);
    if (n > 0) {
      copied += static_cast<uint64_t>(n);
      CountBody(static_cast<uint64_t>(n));
    } else if (n == 0) {
      break;  // the file ended early
    } else if (errno == EINTR) {
      continue;
    } else if (errno == EAGAIN) {
      if (!WaitWritable()) break;
    } else if (errno == EINVAL || errno == ENOSYS) {
      // Standard output does not take sendfile (opened for appending, say).
      return copied + CopyByReading(fd, offset, length - copied);
    } else {
      break;
    }
  }
  return copied;
}

uint64_t StdoutAnswer::CopyByReading(int fd, off_t offset, uint64_t length) {
  std::unique_ptr<char[]> buffer(new char[kCopyBuffer]);
  uint64_t copied = 0;
  while (copied < length) {
    size_t want =
        static_cast<size_t>(std::min<uint64_t>(length - copied, kCopyBuffer));
    ssize_t n = pread(fd, buffer.get(), want, offset);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    if (!WriteAll(buffer.get(), static_cast<size_t>(n))) break;
    offset += n;
    copied += static_cast<uint64_t>(n);
  }
  return copied;
}

bool StdoutAnswer::WriteAll(const char* data, size_t n) {
  if (stream != nullptr) {
    if (!stream->Write(data, n)) return false;
    CountBody(n);
    return true;
  }
  while (n > 0) {
    ssize_t w = write(STDOUT_FILENO, data, n);
    if (w > 0) {
      data += w;
      n -= static_cast<size_t>(w);
      CountBody(static_cast<uint64_t>(w));
    } else if (w < 0 && errno == EAGAIN) {
      if (!WaitWritable()) return false;
    } else if (w < 0 && errno != EINTR) {
      return false;
    }
  }
  return true;
}

void StdoutAnswer::CountBody(uint64_t n) {
  body_sent += n;
  bytes_written += n;
}

void AnswerWebRender::vprintf(const char* format, va_list args) {
  StdoutAnswer::VPrintf(format, args);
}
