// Small C-string helpers: heap copies, narrow/wide copies and time-stamped
// formatted writes.
#ifndef KERNEL_OSSTRINGS_H_
#define KERNEL_OSSTRINGS_H_

#include <cstdio>
#include <cwchar>

// A heap copy of `s`, to be released with free(); null when `s` is null or
// memory is short.
char* sp_strdup(const char* s);

// Copies the low byte of each wide character of `in` to `out` until the wide
// terminator or until `n` characters were copied. A terminator is written
// only when fewer than `n` were copied, so `out` needs room for n bytes (and
// is then not terminated) or for the text plus one. Returns the count copied.
unsigned wcstostr(char* out, const wchar_t* in, unsigned n);
// The reverse of wcstostr: each byte becomes one wide character taken as a
// signed value (bytes from 0x80 up become negative). Same limit, terminator
// rule and result.
unsigned strtowcs(wchar_t* out, const char* in, unsigned n);

// Writes the local date and time as ctime() shows it ("Wed Jun 30 21:49:08
// 1993", no line feed), then " - ", then the formatted message; no line end
// is added. Returns what the write of the message returns (negative on
// error).
int fprintf_ts(FILE* f, const char* fmt, ...)
    __attribute__((format(printf, 2, 3)));

#endif  // KERNEL_OSSTRINGS_H_
