// Conversions between UTF-8, UTF-16 and UTF-32.
//
// Every converter is a loop of "read one code point from the source, write
// it to the target". The readers for UTF-8 and UTF-16 and the writers for
// all three forms are shared; the two converters from UTF-32 differ in how
// they treat surrogate values and are written out separately.
#include "common/ConvertUTF.h"

namespace {

constexpr UTF32 kReplacement = 0xFFFD;
constexpr UTF32 kMaxLegal = 0x10FFFF;
constexpr UTF32 kMaxBmp = 0xFFFF;
constexpr UTF32 kHighFirst = 0xD800;
constexpr UTF32 kHighLast = 0xDBFF;
constexpr UTF32 kLowFirst = 0xDC00;
constexpr UTF32 kLowLast = 0xDFFF;
constexpr UTF32 kSupplementaryBase = 0x10000;

bool IsSurrogate(UTF32 c) { return c >= kHighFirst && c <= kLowLast; }
bool IsHighSurrogate(UTF32 c) { return c >= kHighFirst && c <= kHighLast; }
bool IsLowSurrogate(UTF32 c) { return c >= kLowFirst && c <= kLowLast; }

// The length of the sequence a lead byte announces by its high bits. A
// continuation byte (0x80..0xBF) counts as a sequence of one, which the
// legality test then rejects; 0xF8 and above announce the obsolete five- and
// six-byte forms, also rejected.
int SequenceLength(UTF8 lead) {
  if (lead < 0xC0) return 1;
  if (lead < 0xE0) return 2;
  if (lead < 0xF0) return 3;
  if (lead < 0xF8) return 4;
  if (lead < 0xFC) return 5;
  return 6;
}

// True when the `length` bytes at `s` form one well-formed sequence. The
// bounds on the second byte exclude overlong forms (after 0xE0 and 0xF0),
// encoded surrogates (after 0xED) and values above U+10FFFF (after 0xF4).
bool IsLegalUTF8(const UTF8* s, int length) {
  const UTF8 lead = s[0];
  if (length > 4 || (lead >= 0x80 && lead < 0xC2) || lead > 0xF4) {
    return false;
  }
  if (length == 1) return true;
  UTF8 low = 0x80;
  UTF8 high = 0xBF;
  switch (lead) {
    case 0xE0:
      low = 0xA0;
      break;
    case 0xED:
      high = 0x9F;
      break;
    case 0xF0:
      low = 0x90;
      break;
    case 0xF4:
      high = 0x8F;
      break;
    default:
      break;
  }
  if (s[1] < low || s[1] > high) return false;
  for (int i = 2; i < length; ++i) {
    if (s[i] < 0x80 || s[i] > 0xBF) return false;
  }
  return true;
}

// Reads the code point at `s`. On conversionOK, *ch holds it and *units the
// number of bytes it took. A sequence cut off by `end` is sourceExhausted,
// a malformed one sourceIllegal. Well-formed UTF-8 never yields a surrogate
// or a value above U+10FFFF, so the mode makes no difference here.
ConversionResult Read(const UTF8* s, const UTF8* end, ConversionFlags,
                      UTF32* ch, int* units) {
  const int length = SequenceLength(s[0]);
  if (length > end - s) return sourceExhausted;
  if (!IsLegalUTF8(s, length)) return sourceIllegal;
  static const UTF8 kLeadBits[5] = {0, 0x7F, 0x1F, 0x0F, 0x07};
  UTF32 c = s[0] & kLeadBits[length];
  for (int i = 1; i < length; ++i) c = (c << 6) | (s[i] & 0x3F);
  *ch = c;
  *units = length;
  return conversionOK;
}

// Reads the code point at `s`, joining a surrogate pair. A high surrogate in
// the last unit is sourceExhausted. An unpaired surrogate is sourceIllegal in
// strict mode and passed on as its own value in lenient mode.
ConversionResult Read(const UTF16* s, const UTF16* end, ConversionFlags flags,
                      UTF32* ch, int* units) {
  const UTF32 c = s[0];
  if (IsHighSurrogate(c)) {
    if (end - s < 2) return sourceExhausted;
    const UTF32 next = s[1];
    if (IsLowSurrogate(next)) {
      *ch = ((c - kHighFirst) << 10) + (next - kLowFirst) + kSupplementaryBase;
      *units = 2;
      return conversionOK;
    }
  }
  if (IsSurrogate(c) && flags == strictConversion) return sourceIllegal;
  *ch = c;
  *units = 1;
  return conversionOK;
}

// Writers: each stores `c` (at most U+10FFFF) at *target and advances it, or
// returns false, writing nothing, when the code point does not fit.
bool Put(UTF32 c, UTF32** target, UTF32* end) {
  if (*target >= end) return false;
  *(*target)++ = c;
  return true;
}

bool Put(UTF32 c, UTF16** target, UTF16* end) {
  if (c <= kMaxBmp) {
    if (*target >= end) return false;
    *(*target)++ = static_cast<UTF16>(c);
    return true;
  }
  if (end - *target < 2) return false;
  c -= kSupplementaryBase;
  *(*target)++ = static_cast<UTF16>((c >> 10) + kHighFirst);
  *(*target)++ = static_cast<UTF16>((c & 0x3FF) + kLowFirst);
  return true;
}

bool Put(UTF32 c, UTF8** target, UTF8* end) {
  const int length = c < 0x80 ? 1 : c < 0x800 ? 2 : c < 0x10000 ? 3 : 4;
  if (end - *target < length) return false;
  static const UTF8 kLeadMark[5] = {0, 0x00, 0xC0, 0xE0, 0xF0};
  UTF8* out = *target;
  for (int i = length - 1; i > 0; --i) {
    out[i] = static_cast<UTF8>(0x80 | (c & 0x3F));
    c >>= 6;
  }
  out[0] = static_cast<UTF8>(kLeadMark[length] | c);
  *target += length;
  return true;
}

// Converts from UTF-8 or UTF-16, whose readers carry all source rules.
template <typename In, typename Out>
ConversionResult Convert(const In** sourceStart, const In* sourceEnd,
                         Out** targetStart, Out* targetEnd,
                         ConversionFlags flags) {
  ConversionResult result = conversionOK;
  const In* source = *sourceStart;
  Out* target = *targetStart;
  while (source < sourceEnd) {
    UTF32 c = 0;
    int units = 0;
    result = Read(source, sourceEnd, flags, &c, &units);
    if (result != conversionOK) break;
    if (!Put(c, &target, targetEnd)) {
      result = targetExhausted;
      break;
    }
    source += units;
  }
  *sourceStart = source;
  *targetStart = target;
  return result;
}

}  // namespace

ConversionResult ConvertUTF32toUTF16(const UTF32** sourceStart,
                                     const UTF32* sourceEnd,
                                     UTF16** targetStart, UTF16* targetEnd,
                                     ConversionFlags flags) {
  ConversionResult result = conversionOK;
  const UTF32* source = *sourceStart;
  UTF16* target = *targetStart;
  while (source < sourceEnd) {
    UTF32 c = *source;
    if (IsSurrogate(c) || c > kMaxLegal) {
      if (flags == strictConversion) {
        result = sourceIllegal;
        break;
      }
      c = kReplacement;
    }
    if (!Put(c, &target, targetEnd)) {
      result = targetExhausted;
      break;
    }
    ++source;
  }
  *sourceStart = source;
  *targetStart = target;
  return result;
}

ConversionResult ConvertUTF32toUTF8(const UTF32** sourceStart,
                                    const UTF32* sourceEnd, UTF8** targetStart,
                                    UTF8* targetEnd, ConversionFlags flags) {
  ConversionResult result = conversionOK;
  const UTF32* source = *sourceStart;
  UTF8* target = *targetStart;
  while (source < sourceEnd) {
    UTF32 c = *source;
    if (flags == strictConversion && (IsSurrogate(c) || c > kMaxLegal)) {
      result = sourceIllegal;
      break;
    }
    // Lenient: surrogates are encoded as they stand; values beyond the
    // code space become the replacement character, and the result says so.
    if (c > kMaxLegal) {
      c = kReplacement;
      result = sourceIllegal;
    }
    if (!Put(c, &target, targetEnd)) {
      result = targetExhausted;
      break;
    }
    ++source;
  }
  *sourceStart = source;
  *targetStart = target;
  return result;
}

ConversionResult ConvertUTF16toUTF32(const UTF16** sourceStart,
                                     const UTF16* sourceEnd,
                                     UTF32** targetStart, UTF32* targetEnd,
                                     ConversionFlags flags) {
  return Convert(sourceStart, sourceEnd, targetStart, targetEnd, flags);
}

ConversionResult ConvertUTF16toUTF8(const UTF16** sourceStart,
                                    const UTF16* sourceEnd, UTF8** targetStart,
                                    UTF8* targetEnd, ConversionFlags flags) {
  return Convert(sourceStart, sourceEnd, targetStart, targetEnd, flags);
}

ConversionResult ConvertUTF8toUTF16(const UTF8** sourceStart,
                                    const UTF8* sourceEnd, UTF16** targetStart,
                                    UTF16* targetEnd, ConversionFlags flags) {
  return Convert(sourceStart, sourceEnd, targetStart, targetEnd, flags);
}

ConversionResult ConvertUTF8toUTF32(const UTF8** sourceStart,
                                    const UTF8* sourceEnd, UTF32** targetStart,
                                    UTF32* targetEnd, ConversionFlags flags) {
  return Convert(sourceStart, sourceEnd, targetStart, targetEnd, flags);
}

bool isLegalUTF8Sequence(const UTF8* source, const UTF8* sourceEnd) {
  if (source == nullptr || source >= sourceEnd) return false;
  const int length = SequenceLength(*source);
  return length <= sourceEnd - source && IsLegalUTF8(source, length);
}
