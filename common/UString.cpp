// UString: growable 8-bit text with a cached UTF-32 copy.
#include "common/UString.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <new>
#include <string>

#include "common/ConvertUTF.h"
#include "kernel/OSConsole.h"

static_assert(sizeof(wchar_t) == sizeof(UTF32), "wide text must be UTF-32");

namespace {

char empty_text[1] = "";
wchar_t empty_wide_text[1] = L"";

// Units converted per step between the wide buffer and the converters, which
// work on UTF32 values rather than on wchar_t.
constexpr int kWideChunk = 256;

// Ends the process, naming the allocating function (`where`) and the
// capacity that could not be had.
[[noreturn]] void OutOfMemory(const char* where, int capacity) {
  os_fatal("UStringX::%s - Out Of memory for size %d", where, capacity);
}

// A zeroed array for `size` units plus a terminator, its capacity rounded by
// `round` and stored in *capacity. Zeroed, so that bytes past the text
// (which operator[] may read) are defined. Fatal when the capacity would not
// fit an int or the memory cannot be had.
template <typename T>
T* NewArray(size_t size, int (*round)(int), const char* where, int* capacity) {
  if (size >= static_cast<size_t>(INT_MAX)) OutOfMemory(where, INT_MAX);
  *capacity = round(static_cast<int>(size) + 1);
  T* array = new (std::nothrow) T[*capacity]();
  if (array == nullptr) OutOfMemory(where, *capacity);
  return array;
}

bool IsLetter(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}
bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// A copy of `s` where each byte found in `special` becomes `mark` followed
// by its code in two uppercase hexadecimal digits (`hex`), or `mark`
// followed by the byte itself (not `hex`).
std::string Escaped(const char* s, const char* special, char mark, bool hex) {
  static const char kHexDigits[] = "0123456789ABCDEF";
  std::string out;
  for (; *s != '\0'; ++s) {
    const unsigned char c = static_cast<unsigned char>(*s);
    if (std::strchr(special, c) == nullptr) {
      out += *s;
    } else if (hex) {
      out += mark;
      out += kHexDigits[c >> 4];
      out += kHexDigits[c & 0xF];
    } else {
      out += mark;
      out += *s;
    }
  }
  return out;
}

// Text of `s` for comparisons: a null pointer reads as "".
const char* Text(const char* s) { return s != nullptr ? s : ""; }

}  // namespace

UString::UString() { Init(); }

UString::UString(const UString& src) : OSListObj(src) {
  Init();
  const size_t n = src.GetLength();
  Allocate(n);
  if (src.buffer != nullptr) std::memcpy(buffer, src.buffer, n + 1);
}

UString::UString(const char* s) {
  Init();
  if (s != nullptr) Assign(s);
}

UString::UString(const unsigned char* s)
    : UString(reinterpret_cast<const char*>(s)) {}

UString::UString(const wchar_t* s) {
  Init();
  if (s != nullptr) *this = s;
}

UString::~UString() {
  delete[] wbuffer;
  delete[] buffer;
}

void UString::Init() {
  buffer = nullptr;
  buffer_size = 0;
  wbuffer = nullptr;
  wbuffer_size = 0;
  dirty = true;
}

UString& UString::operator=(const UString& s) {
  Assign(s.buffer);
  return *this;
}

UString& UString::operator=(const char* s) {
  Assign(s);
  return *this;
}

UString& UString::operator=(char* s) {
  Assign(s);
  return *this;
}

UString& UString::operator=(unsigned char* s) {
  Assign(reinterpret_cast<const char*>(s));
  return *this;
}

UString& UString::operator=(const wchar_t* s) {
  if (s == nullptr) {
    Clear();
    return *this;
  }
  // The wide text may be this string's own cached copy, which the
  // conversion below does not touch.
  const size_t count = std::wcslen(s);
  Allocate(4 * count);
  dirty = true;
  UTF8* target = reinterpret_cast<UTF8*>(buffer);
  UTF8* const target_end = target + buffer_size;
  UTF32 chunk[kWideChunk];
  for (size_t done = 0; done < count;) {
    size_t n = count - done < kWideChunk ? count - done : kWideChunk;
    for (size_t i = 0; i < n; ++i) chunk[i] = static_cast<UTF32>(s[done + i]);
    const UTF32* source = chunk;
    // Four bytes per value always fit, so the whole chunk is taken.
    ConvertUTF32toUTF8(&source, chunk + n, &target, target_end,
                       lenientConversion);
    done += n;
  }
  *target = '\0';
  return *this;
}

UString& UString::operator+=(const UString& s) {
  const size_t n = s.GetLength();
  Allocate(GetLength() + n);
  if (s.buffer != nullptr) Append(s.buffer, n);
  return *this;
}

UString& UString::operator+=(const char* s) {
  if (s != nullptr) Append(s, std::strlen(s));
  return *this;
}

UString& UString::operator+=(char c) {
  Append(&c, 1);
  return *this;
}

UString& UString::AddStripped(const char* s) {
  if (s == nullptr) return *this;
  std::string letters;
  for (const char* p = s; *p != '\0'; ++p) {
    if (IsLetter(*p)) letters += *p;
  }
  // Room is made for the whole of `s`, as if nothing were stripped.
  Allocate(GetLength() + std::strlen(s));
  Append(letters.data(), letters.size());
  return *this;
}

UString& UString::AppendSafe(const char* s) {
  if (s != nullptr) {
    const std::string safe = Escaped(s, " %&", '%', true);
    Append(safe.data(), safe.size());
  }
  return *this;
}

UString& UString::AppendSafe2(const char* s) {
  if (s != nullptr) {
    const std::string safe = Escaped(s, " %", '%', true);
    Append(safe.data(), safe.size());
  }
  return *this;
}

void UString::SlashHex(const char* s) {
  if (s == nullptr) {
    Clear();
    return;
  }
  Assign(Escaped(s, "()*\\", '\\', true).c_str());
}

void UString::SlashHex2(const char* s) {
  if (s == nullptr) {
    Clear();
    return;
  }
  Assign(Escaped(s, "()\\", '\\', true).c_str());
}

void UString::EscapeMySQL(const char* s) {
  if (s == nullptr) {
    Clear();
    return;
  }
  Assign(Escaped(s, "'\"\\", '\\', false).c_str());
}

int UString::Format(const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  const int n = vFormat(fmt, args);
  va_end(args);
  return n;
}

int UString::vFormat(const char* fmt, va_list args) {
  dirty = true;
  char* formatted = nullptr;
  const int n = vasprintf(&formatted, fmt, args);
  if (n < 0) {
    Clear();
    return -1;
  }
  std::unique_ptr<char, decltype(&std::free)> owner(formatted, &std::free);
  // The arguments may have pointed into this string's text; they have been
  // read by now, so the buffer may move.
  Allocate(static_cast<size_t>(n) + 10);
  std::memcpy(buffer, formatted, static_cast<size_t>(n) + 1);
  return n;
}

int UString::GetLength() const {
  return buffer != nullptr ? static_cast<int>(std::strlen(buffer)) : 0;
}

bool UString::IsEmpty() const { return buffer == nullptr || buffer[0] == '\0'; }

UString::operator char*() const {
  return buffer != nullptr ? buffer : empty_text;
}

char UString::operator[](int i) const {
  if (buffer == nullptr || i < 0 || i >= buffer_size) return 0;
  return buffer[i];
}

char* UString::Mid(int i) {
  if (buffer == nullptr || i < 0 || i >= GetLength()) return empty_text;
  return buffer + i;
}

UString::operator wchar_t*() {
  if (IsEmpty()) return empty_wide_text;
  if (wbuffer != nullptr && !dirty) return wbuffer;
  const size_t length = GetLength();
  wAllocate(length);
  // Convert in chunks: the converter stops before the first malformed or
  // truncated sequence, and the wide copy ends there.
  const UTF8* source = reinterpret_cast<const UTF8*>(buffer);
  const UTF8* const source_end = source + length;
  size_t produced = 0;
  UTF32 chunk[kWideChunk];
  ConversionResult result = targetExhausted;
  while (result == targetExhausted && source < source_end) {
    UTF32* target = chunk;
    result = ConvertUTF8toUTF32(&source, source_end, &target,
                                chunk + kWideChunk, lenientConversion);
    for (UTF32* p = chunk; p < target; ++p) {
      wbuffer[produced++] = static_cast<wchar_t>(*p);
    }
  }
  wbuffer[produced] = L'\0';
  dirty = false;
  return wbuffer;
}

void UString::SetLength(int n) {
  Allocate(n < 0 ? 0 : static_cast<size_t>(n));
  dirty = true;
}

bool UString::Replace(const char* what, const char* with) {
  if (buffer == nullptr || what == nullptr || what[0] == '\0') return false;
  const char* found = std::strstr(buffer, what);
  if (found == nullptr) return false;
  std::string text(buffer, static_cast<size_t>(found - buffer));
  text += Text(with);
  text += found + std::strlen(what);
  Assign(text.c_str());
  return true;
}

bool UString::ReplaceAll(const char* what, const char* with) {
  if (what == nullptr || what[0] == '\0') return false;
  // Copies, as `what` or `with` may point into this text, which each
  // replacement rewrites and may move.
  const std::string what_text(what);
  const std::string with_text(Text(with));
  if (with_text.find(what_text) == std::string::npos) {
    bool replaced = false;
    while (Replace(what_text.c_str(), with_text.c_str())) replaced = true;
    return replaced;
  }
  // `with` contains `what`: restarting from the beginning would find the
  // inserted text again and never end, so replace each occurrence once.
  if (buffer == nullptr) return false;
  std::string text;
  const char* rest = buffer;
  const char* found = nullptr;
  bool replaced = false;
  while ((found = std::strstr(rest, what_text.c_str())) != nullptr) {
    text.append(rest, found);
    text += with_text;
    rest = found + what_text.size();
    replaced = true;
  }
  if (!replaced) return false;
  text += rest;
  Assign(text.c_str());
  return true;
}

void UString::StripNonNumeric() {
  if (buffer == nullptr) return;
  char* out = buffer;
  for (const char* p = buffer; *p != '\0'; ++p) {
    if (IsDigit(*p)) *out++ = *p;
  }
  *out = '\0';
  dirty = true;
}

void UString::Trim() {
  if (buffer == nullptr) return;
  const char* start = buffer;
  while (IsBlank(*start)) ++start;
  size_t length = std::strlen(start);
  while (length > 0 && IsBlank(start[length - 1])) --length;
  std::memmove(buffer, start, length);
  buffer[length] = '\0';
  dirty = true;
}

bool UString::fgets(void* stream) {
  FILE* file = static_cast<FILE*>(stream);
  Allocate(512);
  dirty = true;
  if (std::fgets(buffer, buffer_size, file) == nullptr) {
    // At end of file the text is untouched; after a read error its
    // contents are undefined, so it is emptied.
    if (std::ferror(file)) buffer[0] = '\0';
    return false;
  }
  char* line_end = std::strchr(buffer, '\n');
  if (line_end != nullptr) *line_end = '\0';
  return true;
}

// A need that meets a step exactly takes that step: 63 characters and their
// terminator fit a 64-byte buffer.
int UString::LengthRound(int n) {
  static const int kSteps[] = {64, 128, 256, 1024, 4096, 8192};
  for (int step : kSteps) {
    if (n <= step) return step;
  }
  return n;
}

void UString::Allocate(size_t size) {
  if (buffer != nullptr && size < static_cast<size_t>(buffer_size)) return;
  // Growing by the amount asked for alone would copy the whole text on
  // every append: quadratic time for a long text built a byte at a time.
  if (buffer != nullptr) {
    const size_t grown = static_cast<size_t>(buffer_size) + buffer_size / 2;
    if (grown < static_cast<size_t>(INT_MAX)) size = std::max(size, grown);
  }
  int capacity = 0;
  char* grown = NewArray<char>(size, &LengthRound, "Allocate", &capacity);
  if (buffer != nullptr) std::memcpy(grown, buffer, std::strlen(buffer) + 1);
  delete[] buffer;
  buffer = grown;
  buffer_size = capacity;
}

void UString::wAllocate(size_t size) {
  if (wbuffer != nullptr && size < static_cast<size_t>(wbuffer_size)) return;
  int capacity = 0;
  wchar_t* grown =
      NewArray<wchar_t>(size, &LengthRound, "wAllocate", &capacity);
  delete[] wbuffer;
  wbuffer = grown;
  wbuffer_size = capacity;
}

void UString::Clear() {
  if (buffer != nullptr) buffer[0] = '\0';
  dirty = true;
}

void UString::Assign(const char* s) {
  if (s == nullptr) {
    Clear();
    return;
  }
  const size_t n = std::strlen(s);
  // A source inside this string's own text is shorter than the capacity, so
  // Allocate keeps the buffer and the move below is safe.
  Allocate(n);
  std::memmove(buffer, s, n + 1);
  dirty = true;
}

void UString::Append(const char* s, size_t n) {
  const size_t length = GetLength();
  // `s` may lie inside the text; remember its offset across a reallocation.
  const bool inside = buffer != nullptr &&
                      !std::less<const char*>()(s, buffer) &&
                      std::less<const char*>()(s, buffer + buffer_size);
  const size_t offset = inside ? static_cast<size_t>(s - buffer) : 0;
  Allocate(length + n);
  if (inside) s = buffer + offset;
  std::memmove(buffer + length, s, n);
  buffer[length + n] = '\0';
  dirty = true;
}

// Every comparison is strcmp's order; the char* overloads exist so that a
// plain char* operand does not make a call ambiguous.
bool operator==(const UString& a, const UString& b) {
  return std::strcmp(a, b) == 0;
}
bool operator==(const UString& a, const char* b) {
  return std::strcmp(a, Text(b)) == 0;
}
bool operator==(const UString& a, char* b) {
  return a == static_cast<const char*>(b);
}
bool operator==(const char* a, const UString& b) { return b == a; }
bool operator==(char* a, const UString& b) { return b == a; }
bool operator!=(const UString& a, const UString& b) { return !(a == b); }
bool operator!=(const UString& a, const char* b) { return !(a == b); }
bool operator!=(const UString& a, char* b) { return !(a == b); }
bool operator!=(const char* a, const UString& b) { return !(a == b); }
bool operator!=(char* a, const UString& b) { return !(a == b); }
bool operator<(const UString& a, const UString& b) {
  return std::strcmp(a, b) < 0;
}
bool operator<(const UString& a, const char* b) {
  return std::strcmp(a, Text(b)) < 0;
}
bool operator<(const char* a, const UString& b) {
  return std::strcmp(Text(a), b) < 0;
}
bool operator>(const UString& a, const UString& b) { return b < a; }
bool operator>(const UString& a, const char* b) { return b < a; }
bool operator>(const char* a, const UString& b) { return b < a; }
bool operator<=(const UString& a, const UString& b) { return !(b < a); }
bool operator<=(const UString& a, const char* b) { return !(b < a); }

UString operator+(const UString& a, const UString& b) {
  UString sum(a);
  sum += b;
  return sum;
}

UString operator+(const UString& a, const char* b) {
  UString sum(a);
  sum += b;
  return sum;
}

UString operator+(const char* a, const UString& b) {
  UString sum(a);
  sum += b;
  return sum;
}
