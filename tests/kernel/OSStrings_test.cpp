#include "kernel/OSStrings.h"

#include <gtest/gtest.h>

#include <cstring>
#include <regex>
#include <string>

namespace {

TEST(WideConversions, TerminateOnlyWhenShorterThanTheLimit) {
  char out[8];
  memset(out, 'Z', sizeof(out));
  EXPECT_EQ(wcstostr(out, L"ab\x141", 3), 3u);  // U+0141 keeps its low byte
  EXPECT_EQ(std::string(out, 4), "abAZ");
  EXPECT_EQ(wcstostr(out, L"ab\x141", 8), 3u);
  EXPECT_EQ(std::string(out, 4), std::string("abA\0", 4));

  wchar_t wide[4] = {L'Z', L'Z', L'Z', L'Z'};
  EXPECT_EQ(strtowcs(wide, "a\xE9", 2), 2u);
  EXPECT_EQ(wide[1], static_cast<wchar_t>(-23));  // 0xE9 as a signed byte
  EXPECT_EQ(wide[2], L'Z');
}

TEST(FprintfTs, PrefixesTheCtimeStamp) {
  FILE* f = tmpfile();
  EXPECT_EQ(fprintf_ts(f, "value %d", 42), 8);  // the message's own write
  char text[128] = {};
  rewind(f);
  std::string written(text, fread(text, 1, sizeof(text) - 1, f));
  fclose(f);
  EXPECT_TRUE(std::regex_match(
      written, std::regex("(Sun|Mon|Tue|Wed|Thu|Fri|Sat) [A-Z][a-z]{2} "
                          "[ 1-3][0-9] [0-9]{2}:[0-9]{2}:[0-9]{2} [0-9]{4} - "
                          "value 42")))
      << written;
}

}  // namespace
