// UString: the program's growable, NUL-terminated 8-bit (UTF-8) text, with a
// wide-character copy converted on demand and cached until the text changes.
//
// A string without a buffer reads as the empty text everywhere. The buffer
// grows in capacity steps of 64, 128, 256, 1024, 4096 and 8192 bytes; beyond
// 8191 bytes a first buffer is sized exactly, and a growing one takes at
// least half its capacity again, so that a text built piece by piece costs
// linear time. It never shrinks. Comparisons are byte-wise
// (strcmp) and case-sensitive. Running out of memory is fatal: the console's
// Fatal ends the process.
//
// Thread safety: none. A UString belongs to one thread at a time.
#ifndef COMMON_USTRING_H_
#define COMMON_USTRING_H_

#include <cstdarg>
#include <cstddef>
#include <cwchar>

#include "kernel/OSListObj.h"

class UString : public OSListObj {
 public:
  // Empty, no buffer.
  UString();
  // Always allocates (an empty source still gives a 64-byte buffer) and
  // copies the source's text.
  UString(const UString& src);
  // A null `s` gives an empty string without buffer.
  UString(const char* s);
  UString(const unsigned char* s);
  // UTF-32 text converted to UTF-8. Values above U+10FFFF become U+FFFD.
  // A null `s` gives an empty string without buffer.
  UString(const wchar_t* s);
  // Releases the wide buffer, then the 8-bit buffer.
  ~UString() override;

  // Assignments replace the text and return the string. A null pointer, or a
  // source without buffer, empties the text and keeps the capacity.
  UString& operator=(const UString& s);
  UString& operator=(const char* s);
  UString& operator=(char* s);
  UString& operator=(unsigned char* s);
  UString& operator=(const wchar_t* s);

  // Appends return the string. A null `s` appends nothing. Appending a
  // UString always leaves the target with a buffer, even when both are empty.
  UString& operator+=(const UString& s);
  UString& operator+=(const char* s);
  UString& operator+=(char c);
  // Appends only the letters (isalpha, "C" locale) of `s`; null: nothing.
  UString& AddStripped(const char* s);
  // Appends `s` with ' ' written as "%20", '%' as "%25" and '&' as "%26".
  // Null: nothing.
  UString& AppendSafe(const char* s);
  // As AppendSafe, but '&' is copied unchanged.
  UString& AppendSafe2(const char* s);

  // Whole-text rewrites: the text becomes the escaped copy of `s`; a null
  // `s` empties the text.
  // '(' ')' '*' '\' become "\28" "\29" "\2A" "\5C" (directory filter values).
  void SlashHex(const char* s);
  // As SlashHex, but '*' is copied unchanged.
  void SlashHex2(const char* s);
  // A backslash goes before each single quote, double quote and backslash.
  void EscapeMySQL(const char* s);

  // Replaces the text with the printf-style result and returns its length.
  // There is no length limit. If the formatter fails (for example a wide
  // argument that cannot be converted), the text becomes empty and the
  // result is -1.
  int Format(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
  int vFormat(const char* fmt, va_list args);

  // Length of the text in bytes; 0 without buffer. A scan to the terminator.
  int GetLength() const;
  // True without buffer or when the text is empty.
  bool IsEmpty() const;
  // Capacity of the 8-bit buffer in bytes, terminator included; 0 without
  // buffer.
  int Capacity() const { return buffer_size; }

  // The text; a static empty string when there is no buffer, never null.
  // Valid until the string grows or is destroyed. Bytes written through it
  // are not seen by a wide copy already made; call SetLength first.
  operator char*() const;
  // The byte at `i`, which should lie within the text; 0 without buffer or
  // when `i` lies outside the buffer.
  char operator[](int i) const;
  // A pointer into the text at offset `i` (not a copy) when `i` lies within
  // the text, otherwise a static empty string.
  char* Mid(int i);
  // The text as UTF-32. Conversion stops before the first malformed or
  // truncated UTF-8 sequence. The result is cached: valid until the text
  // changes, the string is destroyed or the wide copy is rebuilt.
  operator wchar_t*();

  // Makes room for `n` characters plus the terminator; the text is unchanged
  // but the wide copy is marked stale, as the caller is about to write the
  // text through operator char*.
  void SetLength(int n);
  // Replaces the first byte-exact occurrence of `what` with `with` (a null
  // `with` counts as ""). Returns false when there is none, no buffer, or
  // `what` is null or empty.
  bool Replace(const char* what, const char* with);
  // Calls Replace until it fails, each search starting again at the
  // beginning; true when at least one replacement was made. When `with`
  // contains `what` (where restarting would never end), each occurrence is
  // replaced once instead, left to right, searching on after the inserted
  // text.
  bool ReplaceAll(const char* what, const char* with);
  // Keeps only the decimal digits.
  void StripNonNumeric();
  // Removes leading and trailing blanks, tabs, carriage returns and line
  // feeds.
  void Trim();
  // Reads one line from the stdio stream `stream` (a FILE*) into the text,
  // which is cut at the first line feed; a longer line than the capacity
  // (at least 1024 bytes) is read in pieces. Returns false when nothing was
  // read: at end of file the text is left as it was; on a read error it is
  // emptied.
  bool fgets(void* stream);

 private:
  void Init();
  // Capacity for a need of `n` units (terminator included).
  static int LengthRound(int n);
  // Room for `size` characters plus the terminator, keeping the text; a
  // buffer that must grow takes at least half its capacity again.
  // Ends the process through Console->Fatal when memory runs out or the
  // capacity would not fit an int.
  void Allocate(size_t size);
  // Room for `size` wide characters plus the terminator (contents dropped,
  // as the wide copy is rebuilt whole). Fatal as Allocate.
  void wAllocate(size_t size);
  // Empties the text when there is a buffer.
  void Clear();
  // Copies `s` (null or not) into the text.
  void Assign(const char* s);
  // Appends `n` bytes of `s`; `s` may point into this string's own text.
  void Append(const char* s, size_t n);

  char* buffer;      // the text, NUL-terminated; null until first needed
  int buffer_size;   // capacity of buffer in bytes, terminator included
  wchar_t* wbuffer;  // cached UTF-32 copy; null until first requested
  int wbuffer_size;  // capacity of wbuffer in wide characters
  bool dirty;        // true when wbuffer may no longer match buffer
};

// Byte-wise, case-sensitive comparisons (strcmp, unsigned byte order); a
// UString without buffer and a null character pointer compare as "".
bool operator==(const UString& a, const UString& b);
bool operator==(const UString& a, const char* b);
bool operator==(const UString& a, char* b);
bool operator==(const char* a, const UString& b);
bool operator==(char* a, const UString& b);
bool operator!=(const UString& a, const UString& b);
bool operator!=(const UString& a, const char* b);
bool operator!=(const UString& a, char* b);
bool operator!=(const char* a, const UString& b);
bool operator!=(char* a, const UString& b);
bool operator<(const UString& a, const UString& b);
bool operator<(const UString& a, const char* b);
bool operator<(const char* a, const UString& b);
bool operator>(const UString& a, const UString& b);
bool operator>(const UString& a, const char* b);
bool operator>(const char* a, const UString& b);
bool operator<=(const UString& a, const UString& b);
bool operator<=(const UString& a, const char* b);
// Not provided. Declared deleted so that such a comparison does not compile
// into a comparison of buffer addresses through operator char*.
bool operator<=(const char* a, const UString& b) = delete;
bool operator>=(const UString& a, const UString& b) = delete;
bool operator>=(const UString& a, const char* b) = delete;
bool operator>=(const char* a, const UString& b) = delete;

// A new string: the left operand followed by the right one. A null
// right-hand pointer appends nothing.
UString operator+(const UString& a, const UString& b);
UString operator+(const UString& a, const char* b);
UString operator+(const char* a, const UString& b);

#endif  // COMMON_USTRING_H_
