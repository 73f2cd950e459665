// Page roots: the exact bytes of complete responses, the page history in
// cookies and session variables, client redirects, and the embedded and
// fragment pages.
#include "cgiFramework/WebPage.h"

#include <string>

#include <gtest/gtest.h>

#include "cgiFramework/WebValue.h"
#include "tests/cgiFramework/RenderTestSupport.h"

namespace {

const char kHeaderEnd[] =
    "Cache-Control: no-cache, no-store, max-age=1, must-revalidate\n"
    "Content-type: text/html;charset=utf-8\n\n";

const char kFullHistory[] =
    "_page0=/vxml.cgi?pagename=one; _page1=p1; _page2=p2; _page3=p3; "
    "_page4=p4";

class WebPageTest : public webtest::RenderFixture {
 protected:
  // Builds the context for a request with `query` and `cookies`.
  WebContext& Request(const char* query, const char* cookies) {
    setenv("QUERY_STRING", query, 1);
    setenv("HTTP_COOKIE", cookies, 1);
    return Start();
  }

  std::string Cookie(const char* name) {
    return static_cast<char*>(context->GetWebCookie(name).value);
  }

  // The cookie values of the five history slots, newest first, joined by
  // "|".
  std::string History() {
    std::string all = Cookie("_page0");
    for (const char* slot : {"_page1", "_page2", "_page3", "_page4"}) {
      all += "|" + Cookie(slot);
    }
    return all;
  }
};

TEST_F(WebPageTest, ErrorPageBytes) {
  Start();
  WebPage page(true);
  page.Add(new WebValue("SYSTEM ERROR: %s", "Unable to open wav file: /x"));
  EXPECT_EQ(Render(page),
            "Set-Cookie: _page0=/vxml.cgi; \n"
            "Set-Cookie: _page1=; \n"
            "Set-Cookie: _page2=; \n"
            "Set-Cookie: _page3=; \n"
            "Set-Cookie: _page4=; \n"
            "Cache-Control: no-cache, no-store, max-age=1, must-revalidate\n"
            "Content-type: text/html;charset=utf-8\n\n"
            "<html>\n<head>\n<title></title>\n</head>\n<body >\n"
            "SYSTEM ERROR: Unable to open wav file: /x"
            "</body>\n</html>\n");
}

TEST_F(WebPageTest, RequestTextCannotAddCookieAttributes) {
  Request("x=1;Domain=attacker.example;Max-Age=99999999", "");
  WebPage page(true);
  std::string out = Render(page);
  EXPECT_EQ(out.substr(0, out.find('\n')),
            "Set-Cookie: _page0=/vxml.cgi?x=1%3BDomain=attacker.example"
            "%3BMax-Age=99999999; ");
}

TEST_F(WebPageTest, NewPageNameShiftsTheHistoryDown) {
  Request("pagename=two&x=1", kFullHistory);
  WebPage page(true);
  std::string out = Render(page);
  EXPECT_EQ(History(),
            "/vxml.cgi?pagename=two&x=1|/vxml.cgi?pagename=one|p1|p2|p3");
  EXPECT_EQ(out.substr(0, out.find("Cache-Control")),
            "Set-Cookie: _page0=/vxml.cgi?pagename=two&x=1; \n"
            "Set-Cookie: _page1=/vxml.cgi?pagename=one; \n"
            "Set-Cookie: _page2=p1; \n"
            "Set-Cookie: _page3=p2; \n"
            "Set-Cookie: _page4=p3; \n");
}

TEST_F(WebPageTest, SamePageNameReplacesOnlyTheNewestEntry) {
  Request("pagename=one&x=2", kFullHistory);
  WebPage page(true);
  std::string out = Render(page);
  EXPECT_EQ(History(), "/vxml.cgi?pagename=one&x=2|p1|p2|p3|p4");
  EXPECT_EQ(out.substr(0, out.find("Cache-Control")),
            "Set-Cookie: _page0=/vxml.cgi?pagename=one&x=2; \n");
}

TEST_F(WebPageTest, PageWithoutHistoryChangesNothing) {
  Request("pagename=two", kFullHistory);
  WebPage page(false);
  page.title = "T";
  page.header = "<h>\n";
  page.css = "<css>\n";
  page.PageAttributes = "class=x";
  page.Add(new WebValue("body"));
  EXPECT_EQ(Render(page),
            std::string(kHeaderEnd) +
                "<html>\n<head>\n<title>T</title>\n<h>\n<css>\n"
                "</head>\n<body class=x>\nbody</body>\n</html>\n");
  EXPECT_EQ(History(), "/vxml.cgi?pagename=one|p1|p2|p3|p4");
  Request("", "");  // an empty request creates no history entries
  EXPECT_EQ(Render(page).find("Set-Cookie"), std::string::npos);
  EXPECT_EQ(context->cookies.Size(), 0);
}

TEST_F(WebPageTest, BackMovesTheHistoryUpAndRefreshesAtOnce) {
  Request("pagename=two", kFullHistory);
  context->client_redirect = "<back>";
  WebPage page(true);
  page.header = "<h>\n";
  page.css = "<css>\n";
  std::string out = Render(page);
  EXPECT_EQ(History(), "p1|p2|p3|p4|");
  EXPECT_NE(out.find("<h>\n<meta http-equiv=refresh content=\"0;url= p1\" />\n"
                     "<css>\n</head>\n"),
            std::string::npos)
      << out;

  Request("pagename=two", "_page0=/vxml.cgi?pagename=one");
  context->client_redirect = "<back>";
  out = Render(page);
  EXPECT_EQ(History(), "||||");
  EXPECT_NE(out.find("<meta http-equiv=refresh content=\"0;url= "
                     "/vxml.cgi?pagename=\" />\n"),
            std::string::npos)
      << out;
}

TEST_F(WebPageTest, OtherRedirectsLeaveTheHistoryAlone) {
  Request("pagename=two", kFullHistory);
  context->client_redirect = "<ignore>";
  WebPage page(true);
  std::string out = Render(page);
  EXPECT_EQ(out, std::string(kHeaderEnd) +
                     "<html>\n<head>\n<title></title>\n</head>\n<body >\n"
                     "</body>\n</html>\n");

  context->client_redirect = "/vxml.cgi?pagename=next&a=1";
  context->client_redirect_time = 5;
  out = Render(page);
  EXPECT_NE(out.find("<title></title>\n<meta http-equiv=refresh content=\"5;"
                     "url= /vxml.cgi?pagename=next&a=1\" />\n</head>\n"),
            std::string::npos)
      << out;
  EXPECT_EQ(History(), "/vxml.cgi?pagename=one|p1|p2|p3|p4");
}

// The refresh goes to "_page0" as the cookie now stores it (a tab escaped),
// with the bytes that could end the attribute escaped as well.
TEST_F(WebPageTest, RefreshUrlCannotEndItsAttribute) {
  Request("pagename=two", "_page1=x\"><script>\tend");
  context->client_redirect = "<back>";
  WebPage page(true);
  std::string out = Render(page);
  EXPECT_NE(out.find("content=\"0;url= x%22%3E%3Cscript%3E%09end\" />\n"),
            std::string::npos)
      << out;
}

TEST_F(WebPageTest, SetCookieLinesCarryTheGivenAttributes) {
  Request("", "plain=kept");
  WebCookie& full = context->GetWebCookie("full");
  full = "v";
  full.expires = "Tuesday, 08-Dec-2026 04:00:00 GMT";
  full.path = "/";
  full.domain = "example.org";
  full.secure = "secure";
  context->SetWebCookie("bare", "b");
  WebPage page(false);
  std::string out = Render(page);
  EXPECT_EQ(out.substr(0, out.find("Cache-Control")),
            "Set-Cookie: full=v; expires=Tuesday, 08-Dec-2026 04:00:00 GMT; "
            "path=/; domain=example.org; secure; \n"
            "Set-Cookie: bare=b; \n");
}

TEST_F(WebPageTest, HistoryLivesInSessionVariablesWithASessionPrefix) {
  setenv("REMOTE_ADDR", "127.0.0.1", 1);
  Request("pagename=two", "");
  context->session_prefix = "User";
  context->SetWebSessionVar("_page0", "/vxml.cgi?pagename=one");
  WebPage page(true);
  std::string out = Render(page);
  EXPECT_EQ(out.find("_page"), std::string::npos);
  EXPECT_STREQ(context->GetWebSessionVar("_page0").value,
               "/vxml.cgi?pagename=two");
  EXPECT_STREQ(context->GetWebSessionVar("_page1").value,
               "/vxml.cgi?pagename=one");
  EXPECT_FALSE(context->HasWebCookie("_page0"));
  unsetenv("REMOTE_ADDR");
}

TEST_F(WebPageTest, EmbedAndAjaxPagesWriteNoResponseHeader) {
  Request("pagename=two", kFullHistory);
  context->client_redirect = "/elsewhere";
  context->SetWebCookie("c", "1");
  WebEmbedPage embed;
  embed.title = "T";
  embed.header = "H";
  embed.css = "C";
  embed.PageAttributes = "a";
  embed.Add(new WebValue("child"));
  EXPECT_EQ(Render(embed),
            "<html>\n<head>\n<title>T</title>\nHC</head>\n<body a>\nchild"
            "</body>\n</html>\n");
  AjaxPage ajax;
  ajax.Add(new WebValue("<p>x</p>"));
  EXPECT_EQ(Render(ajax), "Content-type: text/html;charset=utf-8\n\n<p>x</p>");
  EXPECT_EQ(History(), "/vxml.cgi?pagename=one|p1|p2|p3|p4");
}

}  // namespace
