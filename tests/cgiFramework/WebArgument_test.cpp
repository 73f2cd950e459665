// Arguments: query-string decoding and quoting, the settings file as hidden
// arguments, lookups that create, nesting levels, sorting and URL matching.
#include "cgiFramework/WebArgument.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "cgiFramework/WebContext.h"
#include "tests/cgiFramework/WebTestSupport.h"

namespace {

constexpr WebArgument::Type N = WebArgument::Normal;
constexpr WebArgument::Type H = WebArgument::Hidden;

// "name=value/type" of every argument, in list order.
std::vector<std::string> Arguments(WebContext& context) {
  std::vector<std::string> result;
  for (WebArgument* arg : context.arguments) {
    result.push_back(std::string(static_cast<char*>(arg->name)) + "=" +
                     static_cast<char*>(arg->value) + "/" +
                     std::to_string(arg->type));
  }
  return result;
}

class WebArgumentTest : public webtest::SiteFixture {};

TEST_F(WebArgumentTest, QueryStringsDecodeAndQuote) {
  const std::pair<const char*, std::vector<std::string>> cases[] = {
      {"pagename=login&pagename=wav", {"pagename=login/0"}},
      {"name=O'Brien&x=1", {"name=O'Brien&x=1/0"}},
      {"name=O%27Brien&x=1", {"name=O'Brien/0", "x=1/0"}},
      {"flag&x=1", {"flag&x=1/0"}},
      {"a=b+c%20d&%41%42=x", {"a=b c d/0", "AB=x/0"}},
      {"a=100%%&b=%41%4a%4A", {"a=100%/0", "b=AJJ/0"}},
      {"a=%zz", {"a=S/0"}},  // (35 * 16 + 35) mod 256 = 83
      {"a=\"x&y\"&b=2", {"a=\"x&y\"/0", "b=2/0"}},
      {"a=%22x&b=2", {"a=\"x/0", "b=2/0"}},
      {"a=1&&&b=2&", {"a=1/0", "b=2/0"}},
      {"a=1\nb=2", {"a=1\nb=2/0"}},
      {"a=%26&b", {"a=&/0", "b=/0"}},
      // A decoded zero byte ends the stored name: the later "a" repeats it.
      {"a%00x=1&a=2", {"a=1/0"}},
  };
  for (const auto& [query, expected] : cases) {
    setenv("QUERY_STRING", query, 1);
    WebContext context(nullptr, nullptr);
    EXPECT_EQ(Arguments(context), expected) << query;
  }
}

TEST_F(WebArgumentTest, PercentAtTheEndStopsThere) {
  WebContext context(nullptr, nullptr);
  // Exact-size copies: a read past the terminator shows under the sanitizer.
  for (const char* text : {"a=x%", "b=x%4", "c%"}) {
    std::unique_ptr<char[]> copy(new char[strlen(text) + 1]);
    strcpy(copy.get(), text);
    context.AddWebArguments(copy.get(), N);
  }
  EXPECT_EQ(Arguments(context),
            (std::vector<std::string>{"a=x%/0", "b=x%4/0", "c%=/0"}));
}

TEST_F(WebArgumentTest, SettingsFileComesFirstAsHidden) {
  setenv("QUERY_STRING", "a=x&b=y", 1);
  WebContext context(Config("a=1\n"), nullptr);
  EXPECT_EQ(Arguments(context), (std::vector<std::string>{"a=1/2", "b=y/0"}));

  // A value ends at its line end, quoted or not: a stray quote cannot take
  // the lines after it (and their passwords) into its value. On one line,
  // quotes still protect "&".
  WebContext lines(Config("alpha=one\r\nbeta=two\nq=\"x&y\"\n"
                          "user=\"portal\npassword=secret\r\nr='1\r\n"
                          "flag\nx=1\n"),
                   nullptr);
  EXPECT_EQ(Arguments(lines), (std::vector<std::string>{
                                  "alpha=one/2", "beta=two/2", "q=\"x&y\"/2",
                                  "user=\"portal/2", "password=secret/2",
                                  "r='1/2", "flag\nx=1/2", "a=x/0", "b=y/0"}));

  // Comment and blank lines are skipped whole and join no other line; the
  // escapes write "&", "%", "+" and quotes into a value. A leading
  // byte-order mark is skipped; a NUL byte ends the file.
  static const char kCommented[] =
      "\xEF\xBB\xBF# database = portal\nhost=h\n# old password: x&y\n\n"
      " \t\r\n#\nv=%26%25%2B%22%27+\nw=1\0z=2\n";
  WebContext commented(
      Config(std::string(kCommented, sizeof kCommented - 1)), nullptr);
  EXPECT_EQ(Arguments(commented),
            (std::vector<std::string>{"host=h/2", "v=&%+\"' /2", "w=1/2",
                                      "a=x/0", "b=y/0"}));
}

TEST_F(WebArgumentTest, SettingsFileThatIsNoRegularFileIsSkipped) {
  setenv("QUERY_STRING", "a=x", 1);
  const std::string fifo = Site("/Korvelund/config/fifo.cfg");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  // Opened for reading, a FIFO without writer would block the request.
  WebContext from_fifo("/Korvelund/config/fifo.cfg", nullptr);
  EXPECT_EQ(Arguments(from_fifo), (std::vector<std::string>{"a=x/0"}));
  // The settings file is trusted: a link to a regular file is followed.
  Config("b=1\n");
  ASSERT_EQ(symlink("test.cfg", Site("/Korvelund/config/link.cfg").c_str()), 0);
  WebContext from_link("/Korvelund/config/link.cfg", nullptr);
  EXPECT_EQ(Arguments(from_link), (std::vector<std::string>{"b=1/2", "a=x/0"}));
}

TEST_F(WebArgumentTest, ValueConversions) {
  WebArgument arg;
  arg.SetDef("7");
  EXPECT_EQ(static_cast<int>(arg), 7);
  EXPECT_TRUE(arg == "");  // the default does not take part
  arg = 42;
  EXPECT_STREQ(static_cast<char*>(arg), "42");
  arg = "abc";
  EXPECT_EQ(static_cast<int>(arg), 0);
  EXPECT_TRUE(arg != "ABC");
  using Pair = std::pair<const char*, const char*>;
  for (const auto& [before, after] :
       {Pair{"on", "1"}, Pair{"On", "1"}, Pair{"ON", "0"}, Pair{"true", "0"},
        Pair{"", "0"}}) {
    arg = before;
    arg.CheckBox();
    EXPECT_TRUE(arg == after) << before;
  }
}

TEST_F(WebArgumentTest, LookupsCreateButHasDoesNot) {
  WebContext context(Config("a=1\n"), nullptr);
  EXPECT_FALSE(context.HasWebArgument("new"));
  WebArgument& made = context["new"];
  EXPECT_EQ(made.type, N);
  EXPECT_EQ(&context["new"], &made);
  // A typed lookup does not match the hidden "a": it makes a second one.
  EXPECT_EQ(context.GetWebArgument("a", WebArgument::Global).type,
            WebArgument::Global);
  EXPECT_TRUE(context["a"] == "1");
  context.RemoveWebArgument("a");
  EXPECT_FALSE(context.HasWebArgument("a"));

  context.NewArguments();
  context.SetWebArgument("inner", 5);
  EXPECT_EQ(context["inner"].depth, 1);
  context.FlushArguments(0);  // same level: kept
  EXPECT_TRUE(context.HasWebArgument("inner"));
  context.FlushArguments(-1);
  context.FlushArguments(-1);  // never below 0
  EXPECT_EQ(context.depth, 0);
  EXPECT_EQ(Arguments(context), (std::vector<std::string>{"new=/0"}));
}

std::string SortedNames(const char* query, bool numerical, bool descending) {
  setenv("QUERY_STRING", query, 1);
  WebContext context(nullptr, nullptr);
  context.SortWebArguments(numerical, descending);
  std::string names;
  for (WebArgument* arg : context.arguments) {
    names += std::string(static_cast<char*>(arg->name)) + " ";
  }
  return names;
}

TEST_F(WebArgumentTest, SortByValue) {
  EXPECT_EQ(SortedNames("x1=b&x2=a&x3=C&x4=A", false, false), "x2 x4 x1 x3 ");
  EXPECT_EQ(SortedNames("x1=b&x2=a&x3=C&x4=A", false, true), "x3 x1 x2 x4 ");
  EXPECT_EQ(SortedNames("n1=10&n2=9&n3=100&n4=-3", true, false),
            "n4 n2 n1 n3 ");
  // Equal keys: the first, then the others from the last to the second.
  EXPECT_EQ(SortedNames("p=5&q=5&r=5", true, false), "p r q ");
}

TEST_F(WebArgumentTest, IsSameArgument) {
  setenv("QUERY_STRING", "pagename=dialout", 1);
  WebContext context(nullptr, nullptr);
  const std::pair<const char*, bool> cases[] = {
      {"/v.cgi?sessionId=1&PageName=dialout&x=1", true},
      {"/v.cgi?pagename=dialout", true},
      {"/v.cgi?pagename=dialout2", false},
      {"/v.cgi?pagename=dial", false},
      {"/v.cgi?pagename=x&pagename=dialout", false},  // the first decides
      {"/v.cgi?xpagename=dialout", false},
      {"/v.cgi", false}};
  for (const auto& [url, same] : cases) {
    EXPECT_EQ(context.IsSameArgument("pagename", url), same) << url;
  }
  EXPECT_FALSE(context.IsSameArgument("pagename", nullptr));
  EXPECT_TRUE(context.IsSameArgument("zz", "/p?zz="));  // created empty
}

TEST_F(WebArgumentTest, VariablesFromArgumentsThenSession) {
  setenv("QUERY_STRING", "v=arg", 1);
  WebContext context(nullptr, nullptr);
  context.SetWebSessionVar("v", "session");  // no prefix: memory only
  context.SetWebSessionVar("s", "session");
  EXPECT_STREQ(context.GetVariable("v"), "arg");
  EXPECT_STREQ(context.GetVariable("s"), "session");
  EXPECT_STREQ(context.GetVariable("none"), "");
  EXPECT_FALSE(context.HasVariable("none"));
  EXPECT_FALSE(context.HasWebArgument("none"));
}

}  // namespace
