// Buffers and byte ranges as text, for tests that put bytes into the kernel's
// buffers and read them back.
#ifndef TESTS_SUPPORT_BYTES_H_
#define TESTS_SUPPORT_BYTES_H_

#include <cstddef>
#include <string>

#include "kernel/OSBuf.h"

// A buffer holding the bytes of `text` (without terminator), with the usual
// headroom in front. The caller owns it.
inline OSBuf* BufOf(const std::string& text) {
  return OSBuf::Alloc(reinterpret_cast<const UBYTE*>(text.data()),
                      static_cast<int>(text.size()));
}

// `n` bytes from `p` as a string.
inline std::string Text(const UBYTE* p, std::size_t n) {
  return std::string(reinterpret_cast<const char*>(p), n);
}

// The data bytes of `buf`.
inline std::string Text(const OSBuf* buf) {
  return Text(buf->data, buf->length);
}

#endif  // TESTS_SUPPORT_BYTES_H_
