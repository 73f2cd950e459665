// Fuzz target for the UTF-8/16/32 converters. The first byte chooses the
// source form, the flags and the size of the target; the rest is the source.
// Beyond memory safety (the targets are exactly as large as requested, so any
// write past their end is caught), it checks what the converters promise:
// pointers stay in their ranges, a strict conversion that succeeds converts
// back to the same units, and valid UTF-8 is accepted sequence by sequence.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "common/ConvertUTF.h"

namespace {

template <typename From, typename To>
using Converter = ConversionResult (*)(const From**, const From*, To**, To*,
                                       ConversionFlags);

void Check(bool condition) {
  if (!condition) abort();
}

// Converts `in` into a target of `room` units. Checks that both pointers
// stay in range and that the source stops after whole code points only.
template <typename From, typename To>
ConversionResult Convert(Converter<From, To> convert,
                         const std::vector<From>& in, size_t room,
                         ConversionFlags flags, std::vector<To>* out) {
  std::vector<To> target(room);
  const From* source = in.data();
  To* next = target.data();
  ConversionResult result =
      convert(&source, in.data() + in.size(), &next, target.data() + room, flags);
  Check(source >= in.data() && source <= in.data() + in.size());
  Check(next >= target.data() && next <= target.data() + room);
  Check(result != conversionOK || source == in.data() + in.size());
  target.resize(next - target.data());
  *out = target;
  return result;
}

// Strict conversion with room for every code point, then back: a success
// must give the source again.
template <typename From, typename To>
void RoundTrip(Converter<From, To> there, Converter<To, From> back,
               const std::vector<From>& in) {
  std::vector<To> middle;
  if (Convert(there, in, in.size() * 4, strictConversion, &middle) !=
      conversionOK) {
    return;
  }
  std::vector<From> again;
  Check(Convert(back, middle, in.size(), strictConversion, &again) ==
        conversionOK);
  Check(again == in);
}

template <typename Unit>
std::vector<Unit> Units(const uint8_t* data, size_t size) {
  std::vector<Unit> units(size / sizeof(Unit));
  if (!units.empty()) memcpy(units.data(), data, units.size() * sizeof(Unit));
  return units;
}

// Every sequence a strict UTF-8 conversion accepted is a legal sequence.
void CheckLegalSequences(const std::vector<UTF8>& in) {
  std::vector<UTF32> units;
  if (Convert(ConvertUTF8toUTF32, in, in.size(), strictConversion, &units) !=
      conversionOK) {
    return;
  }
  const UTF8* p = in.data();
  const UTF8* end = in.data() + in.size();
  while (p < end) {
    Check(isLegalUTF8Sequence(p, end));
    p += *p < 0x80 ? 1 : *p < 0xE0 ? 2 : *p < 0xF0 ? 3 : 4;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const uint8_t mode = data[0];
  data++;
  size--;
  const ConversionFlags flags =
      (mode & 4) != 0 ? lenientConversion : strictConversion;
  // A small target now and then, to stop in the middle.
  const size_t small = (mode >> 3) & 7;

  switch (mode & 3) {
    case 0: {
      std::vector<UTF8> in(data, data + size);
      RoundTrip<UTF8, UTF16>(ConvertUTF8toUTF16, ConvertUTF16toUTF8, in);
      RoundTrip<UTF8, UTF32>(ConvertUTF8toUTF32, ConvertUTF32toUTF8, in);
      CheckLegalSequences(in);
      std::vector<UTF16> out16;
      Convert<UTF8, UTF16>(ConvertUTF8toUTF16, in, small, flags, &out16);
      break;
    }
    case 1: {
      std::vector<UTF16> in = Units<UTF16>(data, size);
      RoundTrip<UTF16, UTF8>(ConvertUTF16toUTF8, ConvertUTF8toUTF16, in);
      RoundTrip<UTF16, UTF32>(ConvertUTF16toUTF32, ConvertUTF32toUTF16, in);
      std::vector<UTF8> out8;
      Convert<UTF16, UTF8>(ConvertUTF16toUTF8, in, small, flags, &out8);
      Convert<UTF16, UTF8>(ConvertUTF16toUTF8, in, in.size() * 3, flags,
                           &out8);
      break;
    }
    default: {
      std::vector<UTF32> in = Units<UTF32>(data, size);
      RoundTrip<UTF32, UTF8>(ConvertUTF32toUTF8, ConvertUTF8toUTF32, in);
      RoundTrip<UTF32, UTF16>(ConvertUTF32toUTF16, ConvertUTF16toUTF32, in);
      std::vector<UTF8> out8;
      Convert<UTF32, UTF8>(ConvertUTF32toUTF8, in, small, flags, &out8);
      Convert<UTF32, UTF8>(ConvertUTF32toUTF8, in, in.size() * 4, flags,
                           &out8);
      std::vector<UTF16> out16;
      Convert<UTF32, UTF16>(ConvertUTF32toUTF16, in, in.size() * 2, flags,
                            &out16);
      break;
    }
  }
  return 0;
}
