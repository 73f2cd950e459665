// Conversions between the Unicode encoding forms UTF-8, UTF-16 and UTF-32.
//
// Each converter reads from *sourceStart up to sourceEnd and writes from
// *targetStart up to targetEnd, and advances both start pointers to where it
// stopped: after the last code point converted whole. A code point is never
// written in part. The converters keep no state and may be called from any
// thread.
//
// UTF-8 is well-formed as in the Unicode standard's table: lead bytes 0x80 to
// 0xC1 and above 0xF4 are illegal, continuation bytes lie in 0x80..0xBF, and
// the second byte is at least 0xA0 after 0xE0, at most 0x9F after 0xED, at
// least 0x90 after 0xF0 and at most 0x8F after 0xF4. Malformed UTF-8 is
// sourceIllegal in both modes.
//
// Strict mode stops with sourceIllegal at a surrogate value in UTF-32, an
// unpaired surrogate in UTF-16, or a UTF-32 value above U+10FFFF, leaving
// the source pointer at that value. Lenient mode goes on instead:
//   - a UTF-32 value above U+10FFFF becomes U+FFFD (to UTF-8 the result then
//     reports sourceIllegal, although the conversion went on to the end);
//   - a UTF-32 surrogate value becomes U+FFFD in UTF-16 and is encoded as it
//     stands in UTF-8;
//   - an unpaired UTF-16 surrogate is passed on as its value.
// A high surrogate as the last UTF-16 unit is sourceExhausted in both modes,
// as is a UTF-8 sequence cut off by sourceEnd.
#ifndef COMMON_CONVERTUTF_H_
#define COMMON_CONVERTUTF_H_

#include <cstdint>

typedef uint32_t UTF32;
typedef uint16_t UTF16;
typedef uint8_t UTF8;

enum ConversionResult {
  conversionOK = 0,     // the whole source was converted
  sourceExhausted = 1,  // the source ends inside a code point
  targetExhausted = 2,  // no room in the target for the next code point
  sourceIllegal = 3     // malformed or illegal source (see above)
};

enum ConversionFlags { strictConversion = 0, lenientConversion = 1 };

ConversionResult ConvertUTF32toUTF16(const UTF32** sourceStart,
                                     const UTF32* sourceEnd,
                                     UTF16** targetStart, UTF16* targetEnd,
                                     ConversionFlags flags);
ConversionResult ConvertUTF16toUTF32(const UTF16** sourceStart,
                                     const UTF16* sourceEnd,
                                     UTF32** targetStart, UTF32* targetEnd,
                                     ConversionFlags flags);
ConversionResult ConvertUTF16toUTF8(const UTF16** sourceStart,
                                    const UTF16* sourceEnd, UTF8** targetStart,
                                    UTF8* targetEnd, ConversionFlags flags);
ConversionResult ConvertUTF8toUTF16(const UTF8** sourceStart,
                                    const UTF8* sourceEnd, UTF16** targetStart,
                                    UTF16* targetEnd, ConversionFlags flags);
ConversionResult ConvertUTF32toUTF8(const UTF32** sourceStart,
                                    const UTF32* sourceEnd, UTF8** targetStart,
                                    UTF8* targetEnd, ConversionFlags flags);
ConversionResult ConvertUTF8toUTF32(const UTF8** sourceStart,
                                    const UTF8* sourceEnd, UTF32** targetStart,
                                    UTF32* targetEnd, ConversionFlags flags);

// True when the bytes from `source` start with one whole, well-formed UTF-8
// sequence that ends at or before `sourceEnd`. An empty range is false.
bool isLegalUTF8Sequence(const UTF8* source, const UTF8* sourceEnd);

#endif  // COMMON_CONVERTUTF_H_
