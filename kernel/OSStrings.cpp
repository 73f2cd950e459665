#include "kernel/OSStrings.h"

#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "kernel/OSTime.h"

char* sp_strdup(const char* s) {
  if (s == nullptr) return nullptr;
  size_t size = strlen(s) + 1;
  char* copy = static_cast<char*>(malloc(size));
  if (copy != nullptr) memcpy(copy, s, size);
  return copy;
}

unsigned wcstostr(char* out, const wchar_t* in, unsigned n) {
  if (out == nullptr || in == nullptr) return 0;
  unsigned count = 0;
  for (; count < n && in[count] != L'\0'; ++count) {
    out[count] = static_cast<char>(in[count] & 0xFF);
  }
  if (count < n) out[count] = '\0';
  return count;
}

unsigned strtowcs(wchar_t* out, const char* in, unsigned n) {
  if (out == nullptr || in == nullptr) return 0;
  unsigned count = 0;
  for (; count < n && in[count] != '\0'; ++count) {
    out[count] = static_cast<wchar_t>(static_cast<signed char>(in[count]));
  }
  if (count < n) out[count] = L'\0';
  return count;
}

int fprintf_ts(FILE* f, const char* fmt, ...) {
  time_t now = time(nullptr);
  tm local{};
  bool locked = LockTime();
  localtime_r(&now, &local);
  UnlockTime(locked);
  // The 24-character form of ctime(), e.g. "Wed Jun 30 21:49:08 1993".
  char stamp[64];
  strftime(stamp, sizeof(stamp), "%a %b %e %H:%M:%S %Y", &local);
  fprintf(f, "%s - ", stamp);

  va_list args;
  va_start(args, fmt);
  int result = vfprintf(f, fmt, args);
  va_end(args);
  return result;
}
