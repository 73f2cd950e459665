#include "kernel/OSConsole.h"

#include <cstdlib>
#include <cstring>

#include "kernel/OSTime.h"

OSConsole* Console = nullptr;

namespace {

// Size of one formatted console line, terminator included.
constexpr size_t kLineSize = 1024;

constexpr int kBackspace = 8;
constexpr int kBell = 7;
constexpr int kCarriageReturn = 13;
constexpr int kCtrlR = 18;
constexpr int kDelete = 127;

bool IsControl(int c) { return c < 32 || c == kDelete; }

// Formats into `buf` (of `size` bytes, at least 1) and returns the length
// kept: a longer text is cut at the end of the buffer.
size_t FormatCut(char* buf, size_t size, const char* fmt, va_list args) {
  int n = vsnprintf(buf, size, fmt, args);
  if (n < 0) {
    buf[0] = '\0';
    return 0;
  }
  return static_cast<size_t>(n) < size ? static_cast<size_t>(n) : size - 1;
}

// Prints `title`, the message and a line end, each as its own Print: the
// frame of a warning, notification or fatal error.
void PrintFramed(OSConsole* console, const char* title, const char* fmt,
                 va_list args) {
  console->Print("%s", title);
  console->vPrint(fmt, args);
  console->Print("\r\n");
}

}  // namespace

[[noreturn]] void os_fatal(const char* fmt, ...) {
  char msg[kLineSize];
  va_list args;
  va_start(args, fmt);
  FormatCut(msg, sizeof(msg), fmt, args);
  va_end(args);
  if (Console != nullptr) Console->Fatal("%s", msg);
  fprintf(stderr, "%s\n", msg);
  std::abort();
}

// ---- OSConsole: the base console discards output and has no input ----

OSConsole::~OSConsole() {
  if (Console == this) Console = nullptr;
}

void OSConsole::vPrint(const char* /*fmt*/, va_list /*args*/) {}

void OSConsole::Print(const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  vPrint(fmt, args);
  va_end(args);
}

void OSConsole::Warning(const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  PrintFramed(this, "WARNING:\r\n", fmt, args);
  va_end(args);
}

void OSConsole::Notify(const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  PrintFramed(this, "NOTIFICATION:\r\n", fmt, args);
  va_end(args);
}

void OSConsole::Fatal(const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  PrintFramed(this, "FATAL:\r\n", fmt, args);
  va_end(args);
  std::abort();
}

void OSConsole::SetOutput(void* /*stream*/) {}

int OSConsole::Getc() { return -1; }

int OSConsole::Gets(char* buf, int max, char** history) {
  if (buf == nullptr || max < 1) return -1;
  int len = 0;
  int next_history = 0;  // index of the line the next Ctrl-R recalls
  for (;;) {
    int c = Getc();
    if (c < 0) return -1;
    c &= 0x7F;
    if (c == kCarriageReturn) {
      Print("\r\n");
      buf[len] = '\0';
      return 0;
    }
    if (c == kBackspace || c == kDelete) {
      if (len > 0) {
        --len;
        Print("\b \b");
      }
    } else if (c == kCtrlR && history != nullptr) {
      if (history[0] == nullptr) continue;
      if (history[next_history] == nullptr) next_history = 0;
      const char* line = history[next_history++];
      for (; len > 0; --len) Print("\b \b");
      for (; !IsControl(static_cast<unsigned char>(line[len])); ++len) {
        buf[len] = line[len];
        Print("%c", buf[len]);
        if (len + 1 == max) return -1;
      }
    } else if (!IsControl(c)) {
      buf[len++] = static_cast<char>(c);
      Print("%c", c);
      if (len == max) return -1;
    } else {
      Print("%c", kBell);
    }
  }
}

// ---- PCConsole ----

PCConsole::PCConsole(const char* fname)
    : pc_console_time(os_clock()), fp(nullptr), outfp(stdout) {
  InitializeCriticalSection(&cs);
  if (fname != nullptr) fp = fopen(fname, "w");
}

PCConsole::~PCConsole() {
  CriticalSectionLock lock(&cs);
  if (fp != nullptr) fclose(fp);
  fp = nullptr;
}

void PCConsole::vPrint(const char* fmt, va_list args) {
  CriticalSectionLock lock(&cs);
  _SYSTEMTIME now;
  GetLocalTime(&now);
  char line[kLineSize];
  int stamp = snprintf(line, sizeof(line), "%02u:%02u:%02u.%03u ",
                       static_cast<unsigned>(now.wHour),
                       static_cast<unsigned>(now.wMinute),
                       static_cast<unsigned>(now.wSecond),
                       static_cast<unsigned>(now.wMilliseconds));
  // The message goes between the stamp and the line end, which always fits.
  size_t used = static_cast<size_t>(stamp);
  const size_t kLineEnd = 2;
  used += FormatCut(line + used, sizeof(line) - used - kLineEnd, fmt, args);
  memcpy(line + used, "\r\n", kLineEnd + 1);
  if (outfp != nullptr) {
    fputs(line, outfp);
    fflush(outfp);
  }
  if (fp != nullptr) fputs(line, fp);
}

void PCConsole::Fatal(const char* fmt, ...) {
  char msg[kLineSize];
  va_list args;
  va_start(args, fmt);
  FormatCut(msg, sizeof(msg), fmt, args);
  va_end(args);
  if (outfp != nullptr) {
    fprintf(outfp, "%s\n", msg);
    fflush(outfp);
  }
  std::abort();
}

void PCConsole::SetOutput(void* stream) {
  CriticalSectionLock lock(&cs);
  outfp = static_cast<FILE*>(stream);
}
