#include "common/UString.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <cstring>
#include <string>
#include <type_traits>
#include <utility>

#include "kernel/OSConsole.h"

namespace {

// True when `a >= b` compiles for the operand types.
template <typename A, typename B, typename = void>
struct HasGreaterEqual : std::false_type {};
template <typename A, typename B>
struct HasGreaterEqual<
    A, B, std::void_t<decltype(std::declval<A>() >= std::declval<B>())>>
    : std::true_type {};

// Without the deleted overloads these would compare buffer addresses.
static_assert(!HasGreaterEqual<const UString&, const UString&>::value, "");
static_assert(!HasGreaterEqual<const UString&, const char*>::value, "");

std::string Text(const UString& s) { return static_cast<char*>(s); }

TEST(UStringTest, StringWithoutBufferReadsAsEmptyText) {
  UString s(static_cast<const char*>(nullptr));
  EXPECT_EQ(0, s.Capacity());
  EXPECT_EQ(0, s.GetLength());
  EXPECT_TRUE(s.IsEmpty());
  ASSERT_NE(nullptr, static_cast<char*>(s));
  EXPECT_TRUE(s == "");
  EXPECT_STREQ("", s.Mid(0));
  EXPECT_EQ(0, s[0]);
  EXPECT_STREQ(L"", static_cast<wchar_t*>(s));
  EXPECT_FALSE(s.ReplaceAll("a", "b"));
  s.Trim();
  s += static_cast<const char*>(nullptr);
  s.AddStripped(nullptr);
  EXPECT_EQ(0, s.Capacity());
}

TEST(UStringTest, CapacityFollowsTheStepsAndNeverShrinks) {
  // {characters asked for, capacity in bytes}
  const int cases[][2] = {
      {0, 64},      {63, 64},     {64, 128},    {127, 128},   {128, 256},
      {255, 256},   {256, 1024},  {1023, 1024}, {1024, 4096}, {4095, 4096},
      {4096, 8192}, {8190, 8192}, {8191, 8192}, {8192, 8193}, {20000, 20001}};
  for (const auto& c : cases) {
    UString s;
    s.SetLength(c[0]);
    EXPECT_EQ(c[1], s.Capacity()) << "SetLength(" << c[0] << ")";
  }

  UString none;
  UString copy(none);
  EXPECT_EQ(64, copy.Capacity());
  EXPECT_EQ(0, none.Capacity());

  UString s("abc");
  s = static_cast<const char*>(nullptr);
  EXPECT_TRUE(s.IsEmpty());
  EXPECT_EQ(64, s.Capacity());
  s = "abc";
  s.SetLength(5000);
  EXPECT_EQ("abc", Text(s));
  s = UString();
  EXPECT_EQ(8192, s.Capacity());
}

// Request texts of 100 KB are appended a byte at a time (URLs, escaping):
// beyond the steps the buffer must grow by a share of itself, not by the
// byte asked for, or every append copies the whole text.
TEST(UStringTest, LongTextsGrowGeometrically) {
  UString s;
  int reallocations = 0;
  int capacity = 0;
  for (int i = 0; i < 100000; ++i) {
    s += 'x';
    if (s.Capacity() != capacity) {
      ++reallocations;
      capacity = s.Capacity();
    }
  }
  EXPECT_EQ(100000, s.GetLength());
  EXPECT_LT(reallocations, 20);
  EXPECT_GE(capacity, 100001);
  EXPECT_LE(capacity, 150000);
}

TEST(UStringTest, AssignAppendAndConcatenate) {
  const unsigned char bytes[] = "p";
  UString s(bytes);
  s += 'q';
  s += UString("r");
  s += "st";
  EXPECT_EQ("pqrst", Text(s));
  UString copy(s);
  copy += "!";
  EXPECT_EQ("pqrst", Text(s));

  UString ab("ab");
  EXPECT_EQ("abcd", Text(ab + "cd"));
  EXPECT_EQ("cdab", Text("cd" + ab));
  EXPECT_EQ("abab", Text(ab + ab));
  EXPECT_EQ("ab", Text(ab + static_cast<const char*>(nullptr)));

  UString both_empty;
  both_empty += UString();
  EXPECT_EQ(64, both_empty.Capacity());
}

TEST(UStringTest, OwnTextAsArgumentSurvivesReallocation) {
  UString s(std::string(60, 'a').c_str());
  s += s;  // the buffer moves while its text is read
  EXPECT_EQ(std::string(120, 'a'), Text(s));
  s = std::string(63, 'b').c_str();
  s += s.Mid(60);
  EXPECT_EQ(std::string(66, 'b'), Text(s));
  s = s.Mid(64);
  EXPECT_EQ("bb", Text(s));
  s.Format("%s|%s", static_cast<char*>(s), static_cast<char*>(s));
  EXPECT_EQ("bb|bb", Text(s));
  EXPECT_TRUE(s.Replace("|", s.Mid(3)));
  EXPECT_EQ("bbbbbb", Text(s));

  // ReplaceAll rewrites the text several times; arguments taken from it must
  // keep their first meaning.
  s = "a|b|";
  EXPECT_TRUE(s.ReplaceAll(s.Mid(3), ""));
  EXPECT_EQ("ab", Text(s));
  s = ("||" + std::string(100, 'c')).c_str();
  EXPECT_TRUE(s.ReplaceAll("|", s.Mid(2)));  // the first replacement moves it
  EXPECT_EQ(std::string(300, 'c'), Text(s));
}

TEST(UStringTest, ComparisonsAreBytewiseAndCaseSensitive) {
  EXPECT_TRUE(UString("B") < UString("a"));
  EXPECT_TRUE(UString("a") > UString("B"));
  EXPECT_TRUE(UString("A") != UString("a"));
  EXPECT_TRUE(UString("\xC3\xA9") > "z");  // unsigned byte order
  EXPECT_TRUE(UString() == UString(""));

  UString abc("abc");
  char buffer[] = "abc";
  char* p = buffer;
  EXPECT_TRUE(abc == "abc" && "abc" == abc && abc == p && p == abc);
  EXPECT_FALSE(abc != "abc" || "abc" != abc || abc != p || p != abc);
  EXPECT_TRUE(abc < "abd" && "abb" < abc && abc > "abb" && "abd" > abc);
  EXPECT_TRUE(abc <= "abc" && abc <= UString("abd"));
  EXPECT_FALSE(abc <= "abb");
}

TEST(UStringTest, FormatReplacesTheText) {
  UString s("old");
  EXPECT_EQ(6, s.Format("%d-%s", 42, "abc"));
  EXPECT_EQ("42-abc", Text(s));

  const std::string long_text(10000, 'x');
  EXPECT_EQ(10000, s.Format("%s", long_text.c_str()));
  EXPECT_EQ(10000, s.GetLength());
  EXPECT_EQ(10011, s.Capacity());

  // In the "C" locale a non-ASCII wide character cannot be converted.
  EXPECT_EQ(-1, s.Format("%ls", L"\u00e9"));
  EXPECT_TRUE(s.IsEmpty());
}

TEST(UStringTest, EditsAndRewrites) {
  struct Case {
    void (UString::*edit)(const char*);
    const char* input;
    const char* output;
  };
  const Case cases[] = {
      {&UString::SlashHex, "a*(b)\\", "a\\2A\\28b\\29\\5C"},
      {&UString::SlashHex2, "a*(b)\\", "a*\\28b\\29\\5C"},
      {&UString::EscapeMySQL, "it's", "it\\'s"},
      {&UString::EscapeMySQL, "\"q\" \\", "\\\"q\\\" \\\\"},
      {&UString::SlashHex, nullptr, ""},
      {&UString::EscapeMySQL, nullptr, ""},
  };
  for (const Case& c : cases) {
    UString s("previous");
    (s.*c.edit)(c.input);
    EXPECT_EQ(c.output, Text(s)) << (c.input ? c.input : "(null)");
  }

  const char* trims[][2] = {{"  a  ", "a"}, {"a   ", "a"},
                            {"   ", ""},    {"", ""},
                            {"a", "a"},     {"\t\r\n a b \n", "a b"}};
  for (const auto& t : trims) {
    UString s(t[0]);
    s.Trim();
    EXPECT_EQ(t[1], Text(s)) << "'" << t[0] << "'";
  }
  UString digits("+49 (0) 30-1234 x");
  digits.StripNonNumeric();
  EXPECT_EQ("490301234", Text(digits));
}

TEST(UStringTest, AppendsEscapeOrFilterTheArgument) {
  struct Case {
    UString& (UString::*append)(const char*);
    const char* input;
    const char* output;
  };
  const Case cases[] = {
      {&UString::AppendSafe, "a b&c%'", "x=a%20b%26c%25'"},
      {&UString::AppendSafe2, "a b&c%", "x=a%20b&c%25"},
      {&UString::AddStripped, "a1-b_C \xC3\xA9", "x=abC"},
  };
  for (const Case& c : cases) {
    UString s("x=");
    (s.*c.append)(c.input);
    EXPECT_EQ(c.output, Text(s)) << c.input;
  }
}

TEST(UStringTest, ReplaceAndReplaceAll) {
  UString s("aXbX");
  EXPECT_TRUE(s.Replace("X", "YY"));
  EXPECT_EQ("aYYbX", Text(s));
  s = "aXbX";
  EXPECT_TRUE(s.ReplaceAll("X", "YY"));
  EXPECT_EQ("aYYbYY", Text(s));
  EXPECT_FALSE(s.Replace("X", "Z"));
  EXPECT_FALSE(s.ReplaceAll("", "Z"));
  EXPECT_EQ("aYYbYY", Text(s));

  s = "aaaa";  // each search starts again at the beginning
  EXPECT_TRUE(s.ReplaceAll("aa", "a"));
  EXPECT_EQ("a", Text(s));
  s = "a.b.c";  // a replacement containing the searched text: one pass
  EXPECT_TRUE(s.ReplaceAll(".", ".."));
  EXPECT_EQ("a..b..c", Text(s));
}

// Texts longer than one character, so that resuming at a wrong offset (one
// byte on, or the length of the other text on) changes the result.
TEST(UStringTest, ReplaceResumesAfterMultiCharacterTexts) {
  const struct {
    const char *text, *what, *with, *once, *all;
  } cases[] = {
      {"abcdebcd", "bcd", "X", "aXebcd", "aXeX"},             // shorter
      {"aXYbXYc", "XY", "1234", "a1234bXYc", "a1234b1234c"},  // longer
      {"aaaaa", "aa", "b", "baaa", "bba"},                    // overlapping
      {"XXYY", "XY", "", "XY", ""},  // each search starts again at the front
      {"aXYbXYc", "XY", "<XY>", "a<XY>bXYc", "a<XY>b<XY>c"},  // with has what
      {"aaaa", "aa", "aab", "aabaa", "aabaab"},
      {"abab", "ab", "ab", "abab", "abab"},
  };
  for (const auto& c : cases) {
    UString once(c.text), all(c.text);
    EXPECT_TRUE(once.Replace(c.what, c.with)) << c.text;
    EXPECT_EQ(c.once, Text(once)) << c.text << " " << c.what;
    EXPECT_TRUE(all.ReplaceAll(c.what, c.with)) << c.text;
    EXPECT_EQ(c.all, Text(all)) << c.text << " " << c.what;
  }
}

TEST(UStringTest, MidAndIndexStayInsideTheBuffer) {
  UString s("hello");
  EXPECT_EQ(static_cast<char*>(s) + 1, s.Mid(1));
  EXPECT_STREQ("o", s.Mid(4));
  for (int outside : {5, -1, 1000}) EXPECT_STREQ("", s.Mid(outside));
  EXPECT_EQ('e', s[1]);
  for (int outside : {5, -1, 1000}) EXPECT_EQ(0, s[outside]);
}

TEST(UStringTest, WideCopyIsConvertedAndCached) {
  const struct {
    const char* utf8;
    const wchar_t* wide;
  } cases[] = {{"\xC3\xA9", L"\u00e9"},
               {"ab\xFF"
                "c",
                L"ab"},
               {"ab\xE2\x82", L"ab"},
               {"x\xF0\x9F\x98\x80", L"x\U0001F600"}};
  for (const auto& c : cases) {
    UString s(c.utf8);
    EXPECT_STREQ(c.wide, static_cast<wchar_t*>(s)) << c.utf8;
  }

  UString s("ab");
  wchar_t* first = s;
  EXPECT_EQ(first, static_cast<wchar_t*>(s));
  s += "c";
  EXPECT_STREQ(L"abc", static_cast<wchar_t*>(s));
  s.SetLength(10);
  std::strcpy(s, "xyz");
  EXPECT_STREQ(L"xyz", static_cast<wchar_t*>(s));
}

TEST(UStringTest, WideTextIsConvertedToUTF8) {
  const wchar_t beyond[] = {0x110000, L'a', 0};
  const wchar_t surrogate[] = {0xD800, 0};
  EXPECT_EQ("\xC3\xA9", Text(UString(L"\u00e9")));
  EXPECT_EQ(
      "\xEF\xBF\xBD"
      "a",
      Text(UString(beyond)));
  EXPECT_EQ("\xED\xA0\x80", Text(UString(surrogate)));

  // Longer than one conversion step, both ways.
  const std::wstring wide(1000, L'\U0001F600');
  UString s;
  s = wide.c_str();
  EXPECT_EQ(4000, s.GetLength());
  EXPECT_EQ(wide, static_cast<wchar_t*>(s));
  s = static_cast<wchar_t*>(s);
  EXPECT_EQ(4000, s.GetLength());
  s = static_cast<const wchar_t*>(nullptr);
  EXPECT_TRUE(s.IsEmpty());
}

TEST(UStringTest, FgetsReadsOneLineAtATime) {
  FILE* file = std::tmpfile();
  ASSERT_NE(nullptr, file);
  std::fprintf(file, "first\nsecond\r\n%s\nlast",
               std::string(1500, 'x').c_str());
  std::rewind(file);
  const std::string lines[] = {"first", "second\r", std::string(1023, 'x'),
                               std::string(477, 'x'), "last"};
  UString s;
  for (const std::string& line : lines) {
    ASSERT_TRUE(s.fgets(file));
    EXPECT_EQ(line, Text(s));
  }
  EXPECT_EQ(1024, s.Capacity());
  EXPECT_FALSE(s.fgets(file));
  EXPECT_EQ("last", Text(s));
  std::fclose(file);
}

TEST(UStringDeathTest, OutOfMemoryIsFatal) {
  EXPECT_DEATH(UString().SetLength(INT_MAX),
               "UStringX::Allocate - Out Of memory for size");
  EXPECT_DEATH(
      {
        PCConsole console(nullptr);
        console.SetOutput(stderr);
        Console = &console;
        UString().SetLength(INT_MAX);
      },
      "UStringX::Allocate - Out Of memory for size");
}

}  // namespace
