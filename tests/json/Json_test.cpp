// The JSON parser: the trees it builds, its error texts, the reading
// helpers, and hostile input (truncated, deeply nested, huge).
#include "json/json.h"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "kernel/OSKernel.h"
#include "tests/support/Thrown.h"

namespace {

class JsonTest : public ::testing::Test {
 protected:
  void SetUp() override { os_startup(0, 0, nullptr); }

  // Parses a copy of `text` held in a buffer of exactly its size plus the
  // terminator, so that any read past the end is caught by the sanitizer.
  std::unique_ptr<JsonObj> Parse(const std::string& text) {
    std::vector<char> buf(text.begin(), text.end());
    buf.push_back('\0');
    return std::make_unique<JsonObj>(buf.data(), nullptr, 0);
  }

  // The text `text` is refused with, or "" when it parses.
  std::string Error(const std::string& text) {
    return Thrown([&] { Parse(text); });
  }
};

JsonObj* Child(JsonObj* node, int i) { return node->values.At(i); }

TEST_F(JsonTest, BuildsTheTreeWithNamesLevelsAndParents) {
  auto root =
      Parse(" {\"list\": [1, 2, {\"text\": \"a\\tb\"}], \"none\": null}");
  EXPECT_STREQ(root->name, "__TOP__");
  EXPECT_TRUE(root->IsObject());
  EXPECT_EQ(root->parent, nullptr);
  EXPECT_EQ(root->level, 0);
  ASSERT_EQ(root->values.Size(), 2);

  JsonObj* list = root->Find("list");
  ASSERT_NE(list, nullptr);
  EXPECT_TRUE(list->IsArray());
  EXPECT_EQ(list->parent, root.get());
  EXPECT_EQ(list->level, 1);
  ASSERT_EQ(list->values.Size(), 3);
  for (int i = 0; i < 3; ++i) EXPECT_STREQ(Child(list, i)->name, "");
  EXPECT_TRUE(Child(list, 0)->IsNumber());
  EXPECT_EQ(Child(list, 1)->number, 2);
  JsonObj* inner = Child(list, 2);
  EXPECT_EQ(inner->level, 2);
  EXPECT_STREQ(inner->String("text"), "a\tb");

  JsonObj* none = root->Find("none");
  ASSERT_NE(none, nullptr);
  EXPECT_TRUE(none->IsNull());
  EXPECT_EQ(none->type, JsonObj::_NULL);
}

TEST_F(JsonTest, ScalarsAndLiterals) {
  EXPECT_TRUE(Parse("true")->IsTrue());
  EXPECT_TRUE(Parse("false")->IsFalse());
  EXPECT_TRUE(Parse("null")->IsNull());
  EXPECT_TRUE(Parse("nullify")->IsNull());  // a literal is a prefix match
  EXPECT_EQ(Parse("12.5e1")->number, 125);
  EXPECT_EQ(Parse("0x10")->number, 16);  // strtod forms from a digit
  EXPECT_TRUE(std::isinf(Parse("1e99999")->number));
  EXPECT_TRUE(Parse(std::string(100000, '9'))->IsNumber());
  EXPECT_STREQ(Parse("\"caf\xC3\xA9\x01\"")->String(), "caf\xC3\xA9\x01");
  EXPECT_STREQ(Parse("\"\\\"\\/\\\\\\b\\f\\n\\r\\t\"")->String(),
               "\"/\\\b\f\n\r\t");
  EXPECT_STREQ(Parse("5")->String(), "");
}

TEST_F(JsonTest, AcceptsTrailingCommasAndIgnoresTrailingText) {
  EXPECT_EQ(Parse("{\"a\":1,}")->values.Size(), 1);
  EXPECT_EQ(Parse("[1,2,]")->values.Size(), 2);
  EXPECT_EQ(Parse("{}")->values.Size(), 0);
  EXPECT_TRUE(Parse("[ ]")->IsArray());
  EXPECT_EQ(Parse("{} {\"a\":1}")->values.Size(), 0);
  EXPECT_TRUE(Parse("[1]xyz")->IsArray());
}

TEST_F(JsonTest, ErrorTexts) {
  const struct {
    const char* text;
    const char* error;
  } cases[] = {
      {"{a:1}", "PARSE1"},       {"{", "PARSE1"},
      {"{\"a", "PARSE2"},        {"{\"a\" 1}", "PARSE3"},
      {"{\"a\"", "PARSE3"},      {"{\"a\":1 \"b\":2}", "PARSE4"},
      {"{\"a\":1", "PARSE4"},    {"\"abc", "PARSE5"},
      {"[\"a\\\"]", "PARSE5"},   {"[1 2]", "PARSE6"},
      {"[1", "PARSE6"},          {"[123abc]", "PARSE6"},
      {"-1", "PARSE7"},          {"+1", "PARSE7"},
      {".5", "PARSE7"},          {"True", "PARSE7"},
      {"tru", "PARSE7"},         {"", "PARSE7"},
      {"[1,", "PARSE7"},         {"{\"a\":}", "PARSE7"},
      {"\"\\u0041\"", "PARSE8"}, {"\"\\x\"", "PARSE8"},
      {"\"ab\\", "PARSE8"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Error(c.text), c.error) << c.text;
  }
  char text[] = "1";
  EXPECT_EQ(Thrown([&] { JsonObj bad(text, nullptr, 1); }),
            "null parent for non top level object");
}

TEST_F(JsonTest, ParsingWritesAZeroAfterEachMemberNameAndMarksEnds) {
  char text[] = "{\"a\":12 }";
  JsonObj root(text, nullptr, 0);
  EXPECT_STREQ(text, "{\"a");
  EXPECT_EQ(root.end, text + 8);
  EXPECT_EQ(root.Find("a")->end, text + 6);
  char literal[] = " [true]";
  JsonObj array(literal, nullptr, 0);
  EXPECT_EQ(array.values.First()->end, literal + 5);
}

TEST_F(JsonTest, FindTakesTheFirstNamedDirectChild) {
  auto root = Parse("{\"a\":1,\"a\":2,\"o\":{\"deep\":3}}");
  ASSERT_EQ(root->values.Size(), 3);
  EXPECT_EQ(root->Find("a")->number, 1);
  EXPECT_EQ(Child(root.get(), 1)->number, 2);
  EXPECT_EQ(root->Find("deep"), nullptr);
  EXPECT_EQ(root->Find("A"), nullptr);
  EXPECT_EQ(root->Find(nullptr), nullptr);
  auto array = Parse("[1,\"x\"]");
  EXPECT_EQ(array->Find(""), nullptr);
  EXPECT_EQ(array->Find("x"), nullptr);
  EXPECT_STREQ(root->String("a"), "");
  EXPECT_STREQ(root->String("missing"), "");
}

TEST_F(JsonTest, GetDateTimeFormatsLocalTimeWithinItsBuffer) {
  setenv("TZ", "UTC", 1);
  tzset();
  auto root = Parse(
      "{\"t\":86461.9,\"last\":253402300799,\"y10k\":253402300800,"
      "\"huge\":1e300,\"s\":\"86400\",\"n\":null}");
  // Exactly the documented 20 bytes, on the heap so that an overrun shows.
  std::vector<char> buf(20, 'x');
  EXPECT_STREQ(root->GetDateTime("t", buf.data()), "1970-01-02 00:01:01");
  EXPECT_STREQ(root->GetDateTime("last", buf.data()), "9999-12-31 23:59:59");
  EXPECT_STREQ(root->GetDateTime("y10k", buf.data()), "");
  EXPECT_STREQ(root->GetDateTime("huge", buf.data()), "");
  EXPECT_STREQ(root->GetDateTime("s", buf.data()), "");
  EXPECT_STREQ(root->GetDateTime("n", buf.data()), "");
  EXPECT_STREQ(root->GetDateTime("missing", buf.data()), "");
}

TEST_F(JsonTest, QueryWalksAndCounts) {
  auto root = Parse(
      "{\"data\":{\"items\":[1,2,3],\"n\":4,\"t\":true,\"f\":false,"
      "\"z\":null}}");
  struct {
    const char* query;
    const char* val;
  } cases[] = {
      {"FO:data;FA:items;SZ", "3"},
      {"SZ", "1"},
      {"FO:data;SZ", "5"},
      {"x;FO:data;other;SZ", "5"},
      {"FO:data;FN:n;SZ", "0"},
      {"FO:data;FT:t;SZ", "0"},
      {"FO:data;FF:f;SZ", "0"},
      {"FO:data;Fn:z;SZ", "0"},
      {"FO:missing;SZ", "unchanged"},  // no such member
      {"FA:data;SZ", "unchanged"},     // wrong type
      {"FO:data", "unchanged"},        // no SZ
      {"", "unchanged"},
  };
  for (const auto& c : cases) {
    UString query(c.query);
    UString val("unchanged");
    root->Query(query, val);
    EXPECT_STREQ(val, c.val) << c.query;
  }
  const struct {
    const char* query;
    const char* error;
  } errors[] = {
      {"FOdata;SZ", "JsonObj::Query - missing colon"},
      {"FO:;SZ", "JsonObj::Query - missing find arg"},
      {"FS:data;SZ", "JsonObj::Query - unrecognised find type"},
  };
  for (const auto& e : errors) {
    UString query(e.query);
    UString val;
    EXPECT_EQ(Thrown([&] { root->Query(query, val); }), e.error);
  }
}

TEST_F(JsonTest, ExpandAppendsNamedArrayElements) {
  auto root = Parse("{\"list\":[1]}");
  JsonObj* list = root->Find("list");
  char more[] = "\"list\" : [2, {\"k\":\"v\"},]";
  list->Expand(more);
  ASSERT_EQ(list->values.Size(), 3);
  EXPECT_EQ(Child(list, 1)->number, 2);
  EXPECT_EQ(Child(list, 2)->parent, list);
  EXPECT_EQ(Child(list, 2)->level, 2);
  EXPECT_STREQ(Child(list, 2)->String("k"), "v");

  const struct {
    const char* text;
    const char* error;
  } cases[] = {
      {"list:[1]", "PARSE1"},
      {"\"list:[1]", "PARSE2"},
      {"\"list\" [1]", "PARSE3"},
      {"\"list\": {}", "attempt to Expand with non-array data"},
      {"\"list\": [1", "PARSE6"},
      {"\"list\": [-1]", "PARSE7"},
  };
  for (const auto& c : cases) {
    std::vector<char> buf(c.text, c.text + strlen(c.text) + 1);
    EXPECT_EQ(Thrown([&] { list->Expand(buf.data()); }), c.error) << c.text;
  }
  char text[] = "\"x\":[1]";
  EXPECT_EQ(Thrown([&] { root->Expand(text); }),
            "attempt to Expand a non-array");
}

TEST_F(JsonTest, ReverseArraysPutsElementsFirst) {
  JsonObj::reverse_arrays = true;
  auto root = Parse("[1,2,3]");
  JsonObj::reverse_arrays = false;
  EXPECT_EQ(Child(root.get(), 0)->number, 3);
  EXPECT_EQ(Child(root.get(), 2)->number, 1);
}

TEST_F(JsonTest, PrintDumpsTheTreeToStandardError) {
  auto root =
      Parse("{\"a\":1.5,\"b\":\"x\",\"c\":[true],\"t\":false,\"d\":{}}");
  testing::internal::CaptureStderr();
  root->Print(0);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "name: __TOP__\tobject:\n"
            "  name: a\tnumber: \"1.5\"\n"
            "  name: b\tstring: \"x\"\n"
            "  name: c\tarray:\n"
            "    "
            "  name: t\t"
            "  name: d\tobject:\n");
}

TEST_F(JsonTest, DeepNestingIsRefusedWithoutExhaustingTheStack) {
  std::string ok(kJsonMaxDepth + 1, '[');
  ok += std::string(kJsonMaxDepth + 1, ']');
  EXPECT_EQ(Error(ok), "");
  std::string deeper = "[" + ok + "]";
  EXPECT_EQ(Error(deeper), kJsonTooDeep);
  EXPECT_EQ(Error(std::string(1000000, '[')), kJsonTooDeep);
  std::string objects;
  for (int i = 0; i < 100000; ++i) objects += "{\"a\":";
  EXPECT_EQ(Error(objects), kJsonTooDeep);
}

TEST_F(JsonTest, ValueCountIsBoundedPerParse) {
  // `n` values in all: the root array and n - 1 elements.
  auto array = [](int n) {
    std::string text = "[";
    for (int i = 1; i < n; ++i) text += "1,";
    return text + "]";
  };
  std::string members = "{";
  for (int i = 1; i < kJsonMaxValues; ++i) members += "\"a\":{},";
  EXPECT_EQ(Error(array(kJsonMaxValues)), "");
  EXPECT_EQ(Error(array(kJsonMaxValues + 1)), kJsonTooManyValues);
  EXPECT_EQ(Error(members + "}"), "");
  EXPECT_EQ(Error(members + "\"b\":1}"), kJsonTooManyValues);
  // The count starts again with each parse, and with each Expand.
  std::unique_ptr<JsonObj> root = Parse(array(kJsonMaxValues));
  std::string more = "\"m\":" + array(kJsonMaxValues);
  root->Expand(more.data());
  EXPECT_EQ(root->values.Size(), 2 * (kJsonMaxValues - 1));
}

TEST_F(JsonTest, EveryTruncationFailsCleanly) {
  const std::string doc =
      "{\"s\":\"a\\\"b\\\\c\\n\",\"n\":[1.5e3,0,true,false,null,{}],"
      "\"o\":{\"x\":[\"y\",]},}";
  ASSERT_EQ(Error(doc), "");
  for (size_t n = 0; n < doc.size(); ++n) {
    std::string error = Error(doc.substr(0, n));
    EXPECT_EQ(error.compare(0, 5, "PARSE"), 0) << n << ": " << error;
  }
}

TEST_F(JsonTest, JsonStringGrowsAndCompares) {
  JsonString empty;
  EXPECT_STREQ(empty, "");
  EXPECT_TRUE(empty == nullptr);
  JsonString s("abc");
  EXPECT_TRUE(s == "abc");
  EXPECT_FALSE(s == "abd");
  s = nullptr;
  EXPECT_TRUE(s == "abc");
  std::string long_text;
  for (int i = 0; i < 1000; ++i) {
    s.Add(static_cast<char>('a' + i % 26));
    long_text += static_cast<char>('a' + i % 26);
  }
  EXPECT_EQ(std::string(s), "abc" + long_text);
  s = "short";
  EXPECT_STREQ(s, "short");
}

}  // namespace
