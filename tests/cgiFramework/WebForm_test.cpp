// Forms: the hidden fields they add for the request's page-wide arguments,
// for the names given to Globals, and the "nodefaults" marker.
#include "cgiFramework/WebForm.h"

#include <string>

#include <gtest/gtest.h>

#include "cgiFramework/WebArgument.h"
#include "cgiFramework/WebFields.h"
#include "tests/cgiFramework/RenderTestSupport.h"

namespace {

class WebFormTest : public webtest::RenderFixture {
 protected:
  void SetUp() override {
    RenderFixture::SetUp();
    setenv("QUERY_STRING", "pagename=menu&a=1&b=2&own=x", 1);
    Start();
    context->GetWebArgument("pagename", WebArgument::Any).type =
        WebArgument::Global;
    context->GetWebArgument("own", WebArgument::Any).type = WebArgument::Global;
    context->GetWebArgument("sessionId", WebArgument::Context) = "77";
  }
};

TEST_F(WebFormTest, RepeatsGlobalAndContextArgumentsOnce) {
  // A default is not the argument's value: its field carries none.
  WebArgument& defaulted =
      context->GetWebArgument("defaulted", WebArgument::Global);
  defaulted.SetDef("d");
  WebForm form("f", "post", "/vxml.cgi", "class=c");
  form.Add(new WebField("own", "text", "mine", ""));
  const std::string head =
      "<form name=\"f\" method=\"post\" action=\"/vxml.cgi\" class=c>\n"
      "<input type=text name=\"own\" value=\"mine\" >\n"
      "<input type=hidden name=\"pagename\" value=\"menu\" >\n"
      "<input type=hidden name=\"sessionId\" value=\"77\" >\n"
      "<input type=hidden name=\"defaulted\" >\n";
  const std::string marker =
      "<input type=hidden name=\"nodefaults\" value=\"nodefaults\" >\n";
  EXPECT_EQ(Render(form), head + marker + "</form>\n");
  // The arguments are there now; only the marker is added again.
  EXPECT_EQ(Render(form), head + marker + marker + "</form>\n");
}

TEST_F(WebFormTest, GlobalsChoosesTheArgumentsByName) {
  WebForm form(nullptr, "get", "", nullptr);
  form.Add(new WebField("b", "text", "", ""));
  form.Globals(*context, " a,b ,missing,, sessionId");
  EXPECT_FALSE(form.doGlobals);
  EXPECT_EQ(Render(form),
            "<form name=\"\" method=\"get\" action=\"\" >\n"
            "<input type=text name=\"b\" >\n"
            "<input type=hidden name=\"a\" value=\"1\" >\n"
            "<input type=hidden name=\"sessionId\" value=\"77\" >\n"
            "<input type=hidden name=\"nodefaults\" value=\"nodefaults\" >\n"
            "</form>\n");
}

TEST_F(WebFormTest, GlobalsReadsABoundedList) {
  WebForm form("f", "get", "", "");
  std::string list(kGlobalsMaxText - 1, ' ');
  list += "a,b";  // "a" is the last name inside the limit, cut to "a"
  form.Globals(*context, list.c_str());
  EXPECT_NE(form.Find("a"), nullptr);
  EXPECT_EQ(form.Find("b"), nullptr);

  WebForm many("m", "get", "", "");
  std::string names;
  for (int i = 0; i < kGlobalsMaxNames; ++i) names += "x,";
  names += "a";
  many.Globals(*context, names.c_str());
  EXPECT_EQ(many.Find("a"), nullptr);
  many.Globals(*context, nullptr);
  EXPECT_EQ(many.contains.Size(), 0);
}

}  // namespace
