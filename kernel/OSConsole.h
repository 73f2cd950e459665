// The process console: time-stamped diagnostic lines and the fatal-error exit.
//
// `Console` is null until os_startup creates a PCConsole writing to standard
// output. Each PCConsole line starts with the local time of day
// ("%02u:%02u:%02u.%03u ") and ends with CR LF; one line is formatted into a
// 1024-byte buffer, and a longer message is cut so that the line still ends
// with CR LF, never written past the buffer. Output lines are
// serialised by the console's own lock, so threads may print concurrently.
#ifndef KERNEL_OSCONSOLE_H_
#define KERNEL_OSCONSOLE_H_

#include <cstdarg>
#include <cstdint>
#include <cstdio>

#include "kernel/OSCriticalSection.h"

class OSConsole {
 public:
  // A console being destroyed stops being the process Console.
  virtual ~OSConsole();
  // Writes one formatted message. The base console discards it.
  virtual void vPrint(const char* fmt, va_list args);
  virtual void Print(const char* fmt, ...)
      __attribute__((format(printf, 2, 3)));
  // "WARNING:\r\n", the message, "\r\n", each through Print/vPrint.
  virtual void Warning(const char* fmt, ...)
      __attribute__((format(printf, 2, 3)));
  // Prints "FATAL:\r\n", the message and "\r\n", then ends the process.
  // Never returns.
  [[noreturn]] virtual void Fatal(const char* fmt, ...)
      __attribute__((format(printf, 2, 3)));
  // "NOTIFICATION:\r\n", the message, "\r\n".
  virtual void Notify(const char* fmt, ...)
      __attribute__((format(printf, 2, 3)));
  // Redirects output to `stream` (a FILE*). The base console ignores it.
  virtual void SetOutput(void* stream);
  // Next input character, or -1 when there is none. The base has no input.
  virtual int Getc();
  // Line editor over Getc, echoing through Print. `buf` holds `max` bytes.
  // Returns 0 when a carriage return ended the line (the text is then
  // terminated), or -1 on end of input, when `max` characters are held, or
  // for a null buffer or a `max` below 1; after -1 the buffer holds no valid
  // text. Backspace and delete erase the last character; Ctrl-R replaces the
  // input by the next line of `history`, an optional null-terminated array,
  // wrapping to its first line; other control characters ring the bell.
  virtual int Gets(char* buf, int max, char** history);
};

// Console writing time-stamped lines to an output stream (standard output at
// construction) and, when a log file name is given, to that file as well.
class PCConsole : public OSConsole {
 public:
  // Opens `fname` for writing (truncating) when given; a failed open leaves
  // only the output stream.
  explicit PCConsole(const char* fname);
  ~PCConsole() override;
  PCConsole(const PCConsole&) = delete;
  PCConsole& operator=(const PCConsole&) = delete;

  void vPrint(const char* fmt, va_list args) override;
  // Writes the message alone ("%s\n", no time stamp) to the output stream and
  // ends the process. Never returns.
  [[noreturn]] void Fatal(const char* fmt, ...) override
      __attribute__((format(printf, 2, 3)));
  // Sends later lines to `stream` (a FILE*); null discards them.
  void SetOutput(void* stream) override;

 private:
  CRITICAL_SECTION cs;       // taken around each output line
  uint32_t pc_console_time;  // os_clock() at construction
  FILE* fp;                  // log file, or null
  FILE* outfp;               // output stream
};

extern OSConsole* Console;

// Ends the process with a formatted message: through Console->Fatal, or,
// before a console exists, by writing the message to standard error and
// aborting. Never returns.
[[noreturn]] void os_fatal(const char* fmt, ...)
    __attribute__((format(printf, 1, 2)));

#endif  // KERNEL_OSCONSOLE_H_
