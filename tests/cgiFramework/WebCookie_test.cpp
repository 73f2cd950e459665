// Cookies read from HTTP_COOKIE and set by the program, expiry dates, the
// URL escaping helpers and the builders of the program's own URLs.
#include "cgiFramework/WebCookie.h"

#include <cstdarg>
#include <ctime>
#include <string>
#include <utility>
#include <vector>

#include "cgiFramework/WebContext.h"
#include "tests/cgiFramework/WebTestSupport.h"

namespace {

class WebCookieTest : public webtest::SiteFixture {};

TEST_F(WebCookieTest, ScanTakesValuesAsTheyStand) {
  const std::pair<const char*, std::string> cases[] = {
      {"sessionId=42; theme=dark", "sessionId=42|theme=dark|"},
      {"a=b=c", "a=b=c|"},
      {"a;b=1", "a=|b=1|"},
      {"a=1;;b=2", "a=1|=|b=2|"},
      {"q=\"%41 x\" ;  r=", "q=\"%41 x\" |r=|"},
      {"", ""},
  };
  for (const auto& [header, expected] : cases) {
    setenv("HTTP_COOKIE", header, 1);
    WebContext context(nullptr, nullptr);
    std::string got;
    for (WebCookie* cookie : context.cookies) {
      EXPECT_FALSE(cookie->updated);
      got += std::string(static_cast<char*>(cookie->name)) + "=" +
             static_cast<char*>(cookie->value) + "|";
    }
    EXPECT_EQ(got, expected) << header;
  }
}

TEST_F(WebCookieTest, ScanReadsAtMostTheCookieLimit) {
  std::string header;
  for (int i = 0; i <= kMaxCookies; ++i) {
    header += "c" + std::to_string(i) + "=1; ";
  }
  setenv("HTTP_COOKIE", header.c_str(), 1);
  WebContext context(nullptr, nullptr);
  EXPECT_EQ(context.cookies.Size(), kMaxCookies);
  EXPECT_TRUE(
      context.HasWebCookie(("c" + std::to_string(kMaxCookies - 1)).c_str()));
}

TEST_F(WebCookieTest, SettersEscapeWhatIsNoCookieOctet) {
  setenv("HTTP_COOKIE", "n=7", 1);
  WebContext context(nullptr, nullptr);
  EXPECT_EQ(static_cast<int>(context.GetWebCookie("n")), 7);
  EXPECT_FALSE(context.HasWebCookie("new"));
  WebCookie& made = context.GetWebCookie("new");
  EXPECT_FALSE(made.updated);
  const std::pair<const char*, const char*> cases[] = {
      {"a\tb c;d,e%f\x01\x1f\xc3\xa9", "a%09b%20c%3Bd%2Ce%f%01%1F%C3%A9"},
      {"x=1;Domain=attacker.example;Max-Age=99999999",
       "x=1%3BDomain=attacker.example%3BMax-Age=99999999"},
      {"\"q\"\\\x7f\x80\xff", "%22q%22%5C%7F%80%FF"},
      // What the program writes today (history URLs) keeps its bytes.
      {"/cgi-bin/vxml.cgi?sessionId=12&pagename=login&cmd=get%20num",
       "/cgi-bin/vxml.cgi?sessionId=12&pagename=login&cmd=get%20num"},
      {"!#$%&'()*+-./:<=>?@[]^_`{|}~", "!#$%&'()*+-./:<=>?@[]^_`{|}~"},
      {"", ""},
  };
  for (const auto& [value, stored] : cases) {
    context.SetWebCookie("new", value);
    EXPECT_TRUE(made.updated);
    EXPECT_STREQ(made.value, stored) << value;
  }
  context.SetWebCookie("n", 12);
  EXPECT_TRUE(context.GetWebCookie("n") == "12");
}

TEST_F(WebCookieTest, ExpiryDates) {
  WebCookie cookie;
  cookie.SetExpired();
  EXPECT_STREQ(cookie.expires, "Sat, 16-Sep-2006 00:00:00 GMT");
  EXPECT_TRUE(cookie.updated);

  time_t before = time(nullptr);
  cookie.SetExpires(3600);
  time_t after = time(nullptr);
  // Read back with the C library's own full weekday and month names.
  struct tm parsed = {};
  const char* rest =
      strptime(cookie.expires, "%A, %d-%b-%Y %H:%M:%S GMT", &parsed);
  ASSERT_NE(rest, nullptr) << static_cast<char*>(cookie.expires);
  EXPECT_STREQ(rest, "");
  time_t when = timegm(&parsed);
  EXPECT_GE(when, before + 3600);
  EXPECT_LE(when, after + 3600);
  char canonical[64];
  strftime(canonical, sizeof canonical, "%A, %d-%b-%Y %H:%M:%S GMT", &parsed);
  EXPECT_STREQ(cookie.expires, canonical);
}

TEST(AppendSafeTest, EscapesTheSeparators) {
  UString t("x=");
  AppendSafe(t, "a b&c%'d\"");
  EXPECT_STREQ(t, "x=a%20b%26c%25%27d\"");
  UString t2;
  AppendSafe2(t2, "a b&c%'d");
  EXPECT_STREQ(t2, "a%20b&c%25%27d");
}

// GetSpecificURL with no script part and only Context arguments.
char* WithoutScript(WebContext& context, const char* format, ...) {
  va_list args;
  va_start(args, format);
  char* url = context.GetSpecificURL(format, args, false, false, false);
  va_end(args);
  return url;
}

class WebUrlTest : public webtest::SiteFixture {
 protected:
  void SetUp() override {
    SiteFixture::SetUp();
    setenv("SCRIPT_NAME", "/cgi-bin/vxml.cgi", 1);
    setenv("QUERY_STRING", "sessionId=123&pagename=dialout&cmd=x&empty=", 1);
  }
};

TEST_F(WebUrlTest, SelectsArgumentsByType) {
  WebContext context(Config("secret=s\n"), nullptr);
  context["pagename"].type = WebArgument::Global;
  EXPECT_STREQ(
      context.GetPageURL("cmd=%s", "get num"),
      "/cgi-bin/vxml.cgi?sessionId=123&pagename=dialout&cmd=get%20num");
  EXPECT_STREQ(context.GetURL(nullptr), "/cgi-bin/vxml.cgi?sessionId=123");
  EXPECT_STREQ(context.GetPageURL("pagename=login"),
               "/cgi-bin/vxml.cgi?sessionId=123&pagename=login");
  EXPECT_STREQ(context.GetFullURL(nullptr),
               "/cgi-bin/vxml.cgi?sessionId=123&pagename=dialout&cmd=x");
  // The caller's text sets the arguments in another case: not repeated.
  EXPECT_STREQ(context.GetFullURL("PageName=%d&CMD=%s", 5, "100%'"),
               "/cgi-bin/vxml.cgi?sessionId=123&PageName=5&CMD=100%25%27");

  unsetenv("SCRIPT_NAME");
  context["sessionId"] = "";
  EXPECT_STREQ(context.GetURL(nullptr), "");
  EXPECT_STREQ(context.GetURL("a=%s", "b"), "?a=b");
  context["sessionId"] = "1 2&3";
  EXPECT_STREQ(WithoutScript(context, "x=%d", 1), "?sessionId=1%202%263&x=1");
}

TEST_F(WebUrlTest, LongFormattedPartIsCut) {
  WebContext context(nullptr, nullptr);
  std::string url = context.GetURL("a=%s", std::string(6000, 'x').c_str());
  std::string prefix = "/cgi-bin/vxml.cgi?sessionId=123&";
  EXPECT_EQ(url, prefix + "a=" + std::string(4093, 'x'));
}

}  // namespace
