#include "common/ConvertUTF.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

namespace {

typedef std::vector<UTF8> Bytes;
typedef std::vector<UTF16> Units;
typedef std::vector<UTF32> Values;

template <typename In, typename Out>
using Converter = ConversionResult (*)(const In**, const In*, Out**, Out*,
                                       ConversionFlags);

// What one conversion call did: its result, its output and how many source
// units it took.
template <typename Out>
struct Outcome {
  ConversionResult result;
  std::vector<Out> output;
  size_t consumed;
};

template <typename In, typename Out>
Outcome<Out> Convert(Converter<In, Out> convert, const std::vector<In>& source,
                     ConversionFlags flags, size_t room = 64) {
  std::vector<Out> target(room);
  const In* from = source.data();
  Out* to = target.data();
  Outcome<Out> outcome;
  outcome.result = convert(&from, source.data() + source.size(), &to,
                           target.data() + room, flags);
  outcome.output.assign(target.data(), to);
  outcome.consumed = static_cast<size_t>(from - source.data());
  return outcome;
}

// Converts through a target of `room` units, resuming after each
// targetExhausted as a caller with a small buffer does.
template <typename In, typename Out>
std::vector<Out> ConvertInSteps(Converter<In, Out> convert,
                                const std::vector<In>& source, size_t room) {
  std::vector<Out> all;
  size_t done = 0;
  Outcome<Out> step{targetExhausted, {}, 0};
  while (step.result == targetExhausted) {
    step =
        Convert(convert, std::vector<In>(source.begin() + done, source.end()),
                strictConversion, room);
    if (step.consumed == 0 && step.result == targetExhausted) break;
    all.insert(all.end(), step.output.begin(), step.output.end());
    done += step.consumed;
  }
  EXPECT_EQ(conversionOK, step.result);
  EXPECT_EQ(source.size(), done);
  return all;
}

TEST(ConvertUTFTest, ExamplesConvertBetweenAllForms) {
  const struct {
    UTF32 value;
    Bytes utf8;
    Units utf16;
  } examples[] = {
      {0x41, {0x41}, {0x41}},
      {0x80, {0xC2, 0x80}, {0x80}},
      {0xE9, {0xC3, 0xA9}, {0xE9}},
      {0x7FF, {0xDF, 0xBF}, {0x7FF}},
      {0x800, {0xE0, 0xA0, 0x80}, {0x800}},
      {0xD7FF, {0xED, 0x9F, 0xBF}, {0xD7FF}},
      {0xFFFF, {0xEF, 0xBF, 0xBF}, {0xFFFF}},
      {0x10000, {0xF0, 0x90, 0x80, 0x80}, {0xD800, 0xDC00}},
      {0x1F600, {0xF0, 0x9F, 0x98, 0x80}, {0xD83D, 0xDE00}},
      {0x10FFFF, {0xF4, 0x8F, 0xBF, 0xBF}, {0xDBFF, 0xDFFF}},
  };
  for (const auto& e : examples) {
    SCOPED_TRACE(e.value);
    const Values value = {e.value};
    const auto from8 = Convert(ConvertUTF8toUTF32, e.utf8, strictConversion);
    EXPECT_EQ(conversionOK, from8.result);
    EXPECT_EQ(e.utf8.size(), from8.consumed);
    EXPECT_EQ(value, from8.output);
    EXPECT_EQ(e.utf8,
              Convert(ConvertUTF32toUTF8, value, strictConversion).output);
    EXPECT_EQ(e.utf16,
              Convert(ConvertUTF32toUTF16, value, strictConversion).output);
    EXPECT_EQ(value,
              Convert(ConvertUTF16toUTF32, e.utf16, strictConversion).output);
    EXPECT_EQ(e.utf16,
              Convert(ConvertUTF8toUTF16, e.utf8, strictConversion).output);
    EXPECT_EQ(e.utf8,
              Convert(ConvertUTF16toUTF8, e.utf16, strictConversion).output);
    EXPECT_TRUE(
        isLegalUTF8Sequence(e.utf8.data(), e.utf8.data() + e.utf8.size()));
  }
}

TEST(ConvertUTFTest, RandomTextsSurviveRoundTripsInSmallSteps) {
  std::mt19937 random(20240611);
  std::uniform_int_distribution<UTF32> any_value(0, 0x10FFFF - 0x800);
  std::uniform_int_distribution<size_t> extra(0, 8);
  for (int round = 0; round < 50; ++round) {
    Values text(200);
    for (UTF32& c : text) {
      c = any_value(random);
      if (c >= 0xD800) c += 0x800;  // no surrogates
    }
    // Targets at least as large as one code point: 4 bytes, 2 units.
    const Bytes utf8 =
        ConvertInSteps(ConvertUTF32toUTF8, text, 4 + extra(random));
    const Units utf16 =
        ConvertInSteps(ConvertUTF32toUTF16, text, 2 + extra(random));
    EXPECT_EQ(text,
              ConvertInSteps(ConvertUTF8toUTF32, utf8, 1 + extra(random)));
    EXPECT_EQ(text,
              ConvertInSteps(ConvertUTF16toUTF32, utf16, 1 + extra(random)));
    EXPECT_EQ(utf16,
              ConvertInSteps(ConvertUTF8toUTF16, utf8, 2 + extra(random)));
    EXPECT_EQ(utf8,
              ConvertInSteps(ConvertUTF16toUTF8, utf16, 4 + extra(random)));
  }
}

TEST(ConvertUTFTest, MalformedUTF8IsIllegalInBothModes) {
  const struct {
    Bytes bytes;
    bool legal;
  } cases[] = {
      // clang-format off
      {{0xC0, 0x80}, false},             {{0xC1, 0xBF}, false},
      {{0xC2, 0x80}, true},              {{0x80}, false},
      {{0xC3, 0x28}, false},             {{0xE2, 0x82, 0x28}, false},
      {{0xE0, 0x9F, 0xBF}, false},       {{0xE0, 0xA0, 0x80}, true},
      {{0xED, 0x9F, 0xBF}, true},        {{0xED, 0xA0, 0x80}, false},
      {{0xF0, 0x8F, 0xBF, 0xBF}, false}, {{0xF0, 0x90, 0x80, 0x80}, true},
      {{0xF4, 0x8F, 0xBF, 0xBF}, true},  {{0xF4, 0x90, 0x80, 0x80}, false},
      {{0xF5, 0x80, 0x80, 0x80}, false}, {{0xF8, 0x88, 0x80, 0x80, 0x80}, false},
      // clang-format on
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.bytes));
    const UTF8* end = c.bytes.data() + c.bytes.size();
    EXPECT_EQ(c.legal, isLegalUTF8Sequence(c.bytes.data(), end));
    if (c.legal) continue;
    for (ConversionFlags flags : {strictConversion, lenientConversion}) {
      const auto to32 = Convert(ConvertUTF8toUTF32, c.bytes, flags);
      EXPECT_EQ(sourceIllegal, to32.result);
      EXPECT_EQ(0u, to32.consumed);
      EXPECT_EQ(sourceIllegal,
                Convert(ConvertUTF8toUTF16, c.bytes, flags).result);
    }
  }
  // Conversion stops before the bad byte, keeping what came before it.
  const auto partial =
      Convert(ConvertUTF8toUTF32, Bytes{'a', 'b', 0xFF, 1, 2, 3, 4, 5},
              lenientConversion);
  EXPECT_EQ(sourceIllegal, partial.result);
  EXPECT_EQ((Values{'a', 'b'}), partial.output);
}

TEST(ConvertUTFTest, TruncatedSourceIsExhausted) {
  const Bytes cases[] = {
      {'a', 0xC3}, {'a', 0xE2, 0x82}, {'a', 0xF0, 0x9F, 0x98}, {'a', 0xFF}};
  for (const Bytes& bytes : cases) {
    SCOPED_TRACE(::testing::PrintToString(bytes));
    const auto to32 = Convert(ConvertUTF8toUTF32, bytes, lenientConversion);
    EXPECT_EQ(sourceExhausted, to32.result);
    EXPECT_EQ((Values{'a'}), to32.output);
    EXPECT_EQ(1u, to32.consumed);
    EXPECT_EQ(sourceExhausted,
              Convert(ConvertUTF8toUTF16, bytes, strictConversion).result);
    EXPECT_FALSE(
        isLegalUTF8Sequence(bytes.data() + 1, bytes.data() + bytes.size()));
  }
  for (ConversionFlags flags : {strictConversion, lenientConversion}) {
    const auto to32 = Convert(ConvertUTF16toUTF32, Units{'a', 0xD83D}, flags);
    EXPECT_EQ(sourceExhausted, to32.result);
    EXPECT_EQ(1u, to32.consumed);
  }
  const UTF8 byte = 'a';
  EXPECT_FALSE(isLegalUTF8Sequence(&byte, &byte));
}

TEST(ConvertUTFTest, FullTargetStopsBeforeTheCodePoint) {
  const Values emoji = {'a', 0x1F600};
  const auto to8 = Convert(ConvertUTF32toUTF8, emoji, strictConversion, 4);
  EXPECT_EQ(targetExhausted, to8.result);
  EXPECT_EQ((Bytes{'a'}), to8.output);
  EXPECT_EQ(1u, to8.consumed);
  const auto to16 = Convert(ConvertUTF32toUTF16, emoji, strictConversion, 2);
  EXPECT_EQ(targetExhausted, to16.result);
  EXPECT_EQ(1u, to16.consumed);

  const auto from8 = Convert(ConvertUTF8toUTF16, Bytes{0xF0, 0x9F, 0x98, 0x80},
                             strictConversion, 1);
  EXPECT_EQ(targetExhausted, from8.result);
  EXPECT_EQ(0u, from8.consumed);
  const auto from16 =
      Convert(ConvertUTF16toUTF8, Units{0xD83D, 0xDE00}, strictConversion, 3);
  EXPECT_EQ(targetExhausted, from16.result);
  EXPECT_EQ(0u, from16.consumed);
  EXPECT_TRUE(from16.output.empty());
}

TEST(ConvertUTFTest, StrictStopsAtIllegalValuesAndLenientGoesOn) {
  for (UTF32 illegal : {0xD800u, 0x110000u}) {
    SCOPED_TRACE(illegal);
    const Values source = {'a', illegal, 'b'};
    const auto to8 = Convert(ConvertUTF32toUTF8, source, strictConversion);
    EXPECT_EQ(sourceIllegal, to8.result);
    EXPECT_EQ(1u, to8.consumed);
    const auto to16 = Convert(ConvertUTF32toUTF16, source, strictConversion);
    EXPECT_EQ(sourceIllegal, to16.result);
    EXPECT_EQ(1u, to16.consumed);
    const auto lenient16 =
        Convert(ConvertUTF32toUTF16, source, lenientConversion);
    EXPECT_EQ(conversionOK, lenient16.result);
    EXPECT_EQ((Units{'a', 0xFFFD, 'b'}), lenient16.output);
  }
  // Lenient UTF-8 keeps a surrogate as it stands and replaces a value
  // beyond U+10FFFF, reporting it.
  const auto kept =
      Convert(ConvertUTF32toUTF8, Values{0xD800, 'b'}, lenientConversion);
  EXPECT_EQ(conversionOK, kept.result);
  EXPECT_EQ((Bytes{0xED, 0xA0, 0x80, 'b'}), kept.output);
  const auto replaced =
      Convert(ConvertUTF32toUTF8, Values{0x110000, 'b'}, lenientConversion);
  EXPECT_EQ(sourceIllegal, replaced.result);
  EXPECT_EQ(2u, replaced.consumed);
  EXPECT_EQ((Bytes{0xEF, 0xBF, 0xBD, 'b'}), replaced.output);

  // Unpaired UTF-16 surrogates.
  const Units unpaired = {'a', 0xD800, 'b', 0xDC00};
  const auto strict = Convert(ConvertUTF16toUTF32, unpaired, strictConversion);
  EXPECT_EQ(sourceIllegal, strict.result);
  EXPECT_EQ(1u, strict.consumed);
  EXPECT_EQ(
      sourceIllegal,
      Convert(ConvertUTF16toUTF8, Units{0xDC00}, strictConversion).result);
  const auto lenient =
      Convert(ConvertUTF16toUTF32, unpaired, lenientConversion);
  EXPECT_EQ(conversionOK, lenient.result);
  EXPECT_EQ((Values{'a', 0xD800, 'b', 0xDC00}), lenient.output);
  EXPECT_EQ((Bytes{'a', 0xED, 0xA0, 0x80, 'b', 0xED, 0xB0, 0x80}),
            Convert(ConvertUTF16toUTF8, unpaired, lenientConversion).output);
}

}  // namespace
