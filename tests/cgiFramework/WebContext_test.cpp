// Building the request context: defaults, request bodies of each content
// type (multipart bodies parsed in place), the body limit, the session
// directory and the site root.
#include "cgiFramework/WebContext.h"

#include <sys/stat.h>

#include <cstring>
#include <string>

#include "cgiFramework/SitePaths.h"
#include "json/json.h"
#include "tests/cgiFramework/WebTestSupport.h"

namespace {

class WebContextTest : public webtest::SiteFixture {};

// The text thrown by building a context from the environment, or "".
std::string Thrown(const char* config = nullptr) {
  try {
    WebContext context(config, nullptr);
  } catch (const char* text) {
    return text;
  }
  return "";
}

TEST_F(WebContextTest, DefaultsAndSessionDirectory) {
  ASSERT_EQ(rmdir(Site("/Korvelund/sessions").c_str()), 0);
  {
    WebContext context(nullptr, nullptr);
    EXPECT_STREQ(context.config, "/Korvelund/WebConfig.cfg");
    EXPECT_STREQ(context.dirname, "/Korvelund/reports/");
    EXPECT_EQ(WebContext::global_context, &context);
    WebContext empty("", "");
    EXPECT_STREQ(empty.dirname, "");
    EXPECT_EQ(WebContext::global_context, &empty);
  }
  EXPECT_EQ(WebContext::global_context, nullptr);
  struct stat st;
  ASSERT_EQ(stat(Site("/Korvelund/sessions").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & (S_IFMT | 07777), static_cast<mode_t>(S_IFDIR | 0700));
  EXPECT_STREQ(GetDefaultLDAPPassword(), "quietharbor");
}

TEST_F(WebContextTest, FormBodyAfterTheQuery) {
  setenv("QUERY_STRING", "a=q&sessionId=12", 1);
  Post("a=1&b=2", "application/x-www-form-urlencoded");
  WebContext context(nullptr, nullptr);
  EXPECT_TRUE(context["a"] == "q");
  EXPECT_TRUE(context["b"] == "2");
  EXPECT_EQ(context["sessionId"].type, WebArgument::Context);
}

TEST_F(WebContextTest, BodiesThatAreNotParsed) {
  Post("a=1", "application/x-www-form-urlencoded; charset=UTF-8");
  {
    WebContext with_charset(nullptr, nullptr);
    EXPECT_FALSE(with_charset.HasWebArgument("a"));
    EXPECT_STREQ(with_charset.fbuf, "a=1");
  }
  unsetenv("CONTENT_TYPE");
  WebContext untyped(nullptr, nullptr);
  EXPECT_EQ(untyped.fbuf, nullptr);
  for (const char* length : {"0", "-5", "junk"}) {
    Post("a=1", "application/x-www-form-urlencoded");
    setenv("CONTENT_LENGTH", length, 1);
    WebContext context(nullptr, nullptr);
    EXPECT_EQ(context.fbuf, nullptr) << length;
  }
  Post("a=1&b=2", "application/x-www-form-urlencoded", 100);
  WebContext short_body(nullptr, nullptr);
  EXPECT_TRUE(short_body["b"] == "2");  // the bytes that arrived
}

TEST_F(WebContextTest, BodyLimit) {
  const char* form = "application/x-www-form-urlencoded";
  const char* config = Config("maxPostSize=10\n");
  Post("a=12345678", form);
  EXPECT_EQ(Thrown(config), "");
  Post("a=123456789", form);
  EXPECT_EQ(Thrown(config), "POST Data too large");
  EXPECT_EQ(WebContext::global_context, nullptr);
  // The default limit, which the request itself cannot raise; refused before
  // anything is read.
  setenv("QUERY_STRING", "maxPostSize=999999999", 1);
  Post("", form, kDefaultMaxPostSize + 1);
  EXPECT_EQ(Thrown(), "POST Data too large");
}

TEST_F(WebContextTest, BodyArgumentCountLimit) {
  // `n` distinct url-encoded pairs (a repeated name does not count), and
  // `n` multipart parts.
  auto pairs = [](int n) {
    std::string body = "a0=1";
    for (int i = 1; i < n; ++i) body += "&a" + std::to_string(i) + "=1";
    return body + "&a0=again";
  };
  auto parts = [](int n) {
    std::string body;
    for (int i = 0; i < n; ++i) {
      body += "--B\r\nContent-Disposition: form-data; name=\"a\"\r\n\r\n1\r\n";
    }
    return body + "--B--\r\n";
  };
  const char* form = "application/x-www-form-urlencoded";
  const char* multipart = "multipart/form-data; boundary=B";
  const char* kTooMany = "POST Data too many arguments";
  setenv("QUERY_STRING", "q=1", 1);  // query arguments do not count
  const struct {
    std::string body;
    const char* type;
    std::string thrown;
  } cases[] = {
      {pairs(kMaxBodyArguments), form, ""},
      {pairs(kMaxBodyArguments + 1), form, kTooMany},
      {parts(kMaxBodyArguments), multipart, ""},
      {parts(kMaxBodyArguments + 1), multipart, kTooMany},
  };
  for (const auto& c : cases) {
    Post(c.body, c.type);
    EXPECT_EQ(Thrown(), c.thrown) << c.type << " " << c.body.size();
  }
}

TEST_F(WebContextTest, JsonBodyBecomesATree) {
  Post("{\"a\": [1, 2], \"b\": \"x\"}", "application/x-json");
  {
    WebContext context(nullptr, nullptr);
    ASSERT_NE(context.json_post_data, nullptr);
    EXPECT_TRUE(context.json_post_data->Find("a")->IsArray());
    EXPECT_STREQ(context.json_post_data->String("b"), "x");
    EXPECT_EQ(context.arguments.Size(), 0);
    context.ScanWebArguments(nullptr);  // the tree is kept
    EXPECT_STREQ(context.json_post_data->String("b"), "x");
  }
  Post("{\"a\" 1}", "application/x-json");
  EXPECT_EQ(Thrown(), "PARSE3");
  EXPECT_EQ(WebContext::global_context, nullptr);
}

// Fields of 1000 and 1001 characters, a file holding zero bytes, line ends
// and a near-delimiter, and a repeated field name.
const char kFile[] = "RIFF\0\0\x01\r\n--Xy\r\nZ";
std::string MultipartBody() {
  std::string d = "--Xyz\r\nContent-Disposition: form-data; name=";
  return d + "\"short\"\r\n\r\n" + std::string(1000, 'a') + "\r\n" + d +
         "\"long\"\r\n\r\n" + std::string(1001, 'b') + "\r\n" + d +
         "\"upload\";  filename=\"rec.wav\"\r\nContent-Type: "
         "audio/wav\r\n\r\n" +
         std::string(kFile, sizeof kFile - 1) + "\r\n" + d +
         "\"short\"\r\n\r\ndup\r\n--Xyz--\r\n";
}

void ExpectMultipartArguments(WebContext& context) {
  ASSERT_EQ(context.arguments.Size(), 5);  // q, then the four parts
  auto at = [&](int i) { return context.arguments.At(i); };
  EXPECT_EQ(at(1)->value.GetLength(), 1000);
  EXPECT_TRUE(at(2)->value.IsEmpty());
  EXPECT_EQ(at(2)->length, 1001);
  EXPECT_EQ(std::string(at(2)->data), std::string(1001, 'b'));
  WebArgument* file = at(3);
  EXPECT_STREQ(file->filename, "rec.wav");
  EXPECT_STREQ(file->content, "audio/wav");
  EXPECT_GT(file->data, context.fbuf);
  ASSERT_EQ(file->length, static_cast<int>(sizeof kFile - 1));
  EXPECT_EQ(memcmp(file->data, kFile, file->length), 0);
  EXPECT_STREQ(at(4)->name, "short");
  EXPECT_TRUE(*at(4) == "dup");
}

TEST_F(WebContextTest, MultipartInPlace) {
  setenv("QUERY_STRING", "q=1", 1);
  Post(MultipartBody(), "multipart/form-data; boundary=Xyz");
  WebContext context(nullptr, nullptr);
  ExpectMultipartArguments(context);
  // A second scan of the request reuses the body and finds the same parts.
  context.ScanWebArguments(nullptr);
  ExpectMultipartArguments(context);
}

TEST_F(WebContextTest, MultipartBoundaryTakenToTheEnd) {
  for (const char* type : {"multipart/form-data; boundary=\"Xyz\"",
                           "multipart/form-data; boundary=Xyz; charset=x"}) {
    Post(MultipartBody(), type);
    WebContext context(nullptr, nullptr);
    EXPECT_EQ(context.arguments.Size(), 0) << type;
  }
  Post(MultipartBody(), "multipart/form-data");
  EXPECT_EQ(Thrown(), "POST Data no boundary");
  // Without a closing delimiter a file runs to the end of the body, less
  // the line end; headers that never end give no data.
  Post(
      "--B\r\nContent-Disposition: form-data; name=\"f\"; filename=\"x\"\r\n"
      "Content-Type: text/plain\r\n\r\nabc\r\n",
      "multipart/form-data; boundary=B");
  EXPECT_EQ(WebContext(nullptr, nullptr)["f"].length, 3);
  Post("--B\r\nContent-Disposition: form-data; name=\"g\"\r\n",
       "multipart/form-data; boundary=B");
  EXPECT_EQ(WebContext(nullptr, nullptr)["g"].data, nullptr);
}

TEST_F(WebContextTest, InternalRedirectRescan) {
  setenv("QUERY_STRING", "pagename=callback&dest=2001", 1);
  WebContext context(Config("db=portal\n"), nullptr);
  context.ScanWebArguments("pagename=dialout");
  EXPECT_TRUE(context["pagename"] == "dialout");
  EXPECT_TRUE(context.GetWebArgument("db", WebArgument::Hidden) == "portal");
  EXPECT_FALSE(context.HasWebArgument("dest"));
}

TEST(SitePathTest, MovesOnlyTheFixedRoots) {
  unsetenv("VXML_ROOT");
  EXPECT_STREQ(SitePath("/Korvelund/sessions"), "/Korvelund/sessions");
  setenv("VXML_ROOT", "/tmp/r", 1);
  EXPECT_STREQ(SitePath("/Korvelund"), "/tmp/r/Korvelund");
  EXPECT_STREQ(SitePath("/hosts/h/Archive/"), "/tmp/r/hosts/h/Archive/");
  EXPECT_STREQ(SitePath("/KorvelundX/a"), "/KorvelundX/a");
  EXPECT_STREQ(SitePath(SitePath("/Korvelund/x")), "/tmp/r/Korvelund/x");
  unsetenv("VXML_ROOT");
}

}  // namespace
