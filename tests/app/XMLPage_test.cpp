// XML documents: the exact text of elements in their empty and open forms,
// escaping, the document header, and the item's value conversions.
#include "app/XMLPage.h"

#include <string>

#include <gtest/gtest.h>

#include "tests/cgiFramework/RenderTestSupport.h"

namespace {

class XMLPageTest : public webtest::RenderFixture {};

TEST_F(XMLPageTest, ElementForms) {
  XMLItem prompt("prompt", "Dialling ", nullptr);
  EXPECT_EQ(Render(prompt), "<prompt>Dialling </prompt>\n");
  XMLItem disconnect("disconnect", "", nullptr);
  EXPECT_EQ(Render(disconnect), "<disconnect/>\n");
  XMLItem property("property", "", "name=\"inputmodes\" value=\"dtmf\"");
  EXPECT_EQ(Render(property),
            "<property name=\"inputmodes\" value=\"dtmf\"/>\n");
  XMLItem tagged("a", "t", "x=\"%d\"", 1);
  EXPECT_EQ(Render(tagged), "<a x=\"1\">t</a>\n");

  // One child switches an empty element to the open form.
  XMLItem block("block", "", nullptr);
  block.Add(new XMLItem("prompt", "Dialling ", nullptr));
  EXPECT_EQ(Render(block), "<block>\n<prompt>Dialling </prompt>\n</block>\n");
  XMLItem form("form", "", "id=\"f\"");
  form.Add(new XMLItem("b", "", nullptr));
  EXPECT_EQ(Render(form), "<form id=\"f\">\n<b/>\n</form>\n");
  // Text and children: the first child follows the text on the same line.
  XMLItem mixed("m", "text", nullptr);
  mixed.Add(new XMLItem("c", "", nullptr));
  EXPECT_EQ(Render(mixed), "<m>text<c/>\n</m>\n");
  // Rendering leaves the tree as it was.
  EXPECT_EQ(Render(mixed), "<m>text<c/>\n</m>\n");
}

TEST_F(XMLPageTest, EscapesNamesTagsAndTextOnly) {
  XMLItem text("t", "", nullptr);
  text.Set("%s", "a<b&c>d\"e'f\xC3\xA9");
  EXPECT_EQ(Render(text), "<t>a&lt;b&amp;c&gt;d\"e'f\xC3\xA9</t>\n");
  XMLItem name("x<&>", "v", nullptr);
  EXPECT_EQ(Render(name), "<x&lt;&amp;&gt;>v</x&lt;&amp;&gt;>\n");
  XMLItem empty_name("x<", "", nullptr);
  EXPECT_EQ(Render(empty_name), "<x&lt;/>\n");
  XMLItem choice("choice", "", "dtmf=\"1\" next=\"%s\"",
                 "vxml.cgi?pagename=dialout&cmd=submit&s=2002");
  EXPECT_EQ(Render(choice),
            "<choice dtmf=\"1\" next=\"vxml.cgi?pagename=dialout&amp;"
            "cmd=submit&amp;s=2002\"/>\n");
  XMLItem transfer("transfer", "", nullptr);
  transfer.SetTags("name=\"call\" dest=\"%s\"", "1\"<2&");
  EXPECT_EQ(Render(transfer),
            "<transfer name=\"call\" dest=\"1\"&lt;2&amp;\"/>\n");

  UString out("pre:");
  XMLItem::Parse("<&>", out);
  XMLItem::Parse(nullptr, out);
  EXPECT_STREQ(out, "pre:&lt;&amp;&gt;");
}

// Texts from the request (a call-back number) may hold any byte: what XML
// cannot carry becomes U+FFFD, so the speech browser always gets a
// well-formed document.
TEST_F(XMLPageTest, BytesXmlCannotHoldBecomeReplacementCharacters) {
  const std::string kFFFD = "\xEF\xBF\xBD";
  struct {
    const char* in;
    std::string out;
  } cases[] = {
      {"a\tb\nc\rd\x7F", "a\tb\nc\rd\x7F"},  // allowed as they are
      {"\x01\x1F"
       "2001",
       kFFFD + kFFFD + "2001"},                 // control characters
      {"\xC3\xA9\xE2\x82\xAC\xF0\x9F\x93\x9E",  // two, three, four bytes
       "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x93\x9E"},
      {"\xB5x", kFFFD + "x"},                   // stray continuation
      {"\xC3", kFFFD},                          // cut at the end
      {"\xE2\x82x", kFFFD + kFFFD + "x"},       // cut before a letter
      {"\xC0\xAF", kFFFD + kFFFD},              // overlong "/"
      {"\xED\xA0\x80", kFFFD + kFFFD + kFFFD},  // surrogate
      {"\xEF\xBF\xBE", kFFFD + kFFFD + kFFFD},  // U+FFFE
      {"\xF5\x80\x80\x80<", kFFFD + kFFFD + kFFFD + kFFFD + "&lt;"},
  };
  for (const auto& c : cases) {
    UString out;
    XMLItem::Parse(c.in, out);
    EXPECT_EQ(std::string(static_cast<char*>(out)), c.out) << c.in;
  }
  XMLItem transfer("transfer", "", "dest=\"%s\"", "20\x01\xFF");
  EXPECT_EQ(Render(transfer), "<transfer dest=\"20" + kFFFD + kFFFD + "\"/>\n");
}

TEST_F(XMLPageTest, PageWritesHeaderDeclarationAndChildren) {
  XMLPage page;
  EXPECT_STREQ(page.header,
               "Cache-Control: no-cache, no-store, max-age=1, must-revalidate\n"
               "Content-type: \tapplication/xml\n\n");
  XMLItem* form = new XMLItem("form", "", "id=\"callback\"");
  XMLItem* block = new XMLItem("block", "", nullptr);
  block->Add(new XMLItem("prompt", "Dialling ", nullptr));
  form->Add(block);
  XMLItem* transfer = new XMLItem("transfer", "", nullptr);
  transfer->SetTags("name=\"call\" dest=\"%s\"", "2001");
  form->Add(transfer);
  page.Add(form);
  EXPECT_EQ(Render(page),
            "Cache-Control: no-cache, no-store, max-age=1, must-revalidate\n"
            "Content-type: \tapplication/xml\n\n"
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
            "<form id=\"callback\">\n"
            "<block>\n"
            "<prompt>Dialling </prompt>\n"
            "</block>\n"
            "<transfer name=\"call\" dest=\"2001\"/>\n"
            "</form>\n");
  page.header = "";
  EXPECT_EQ(Render(page).compare(
                0, 39, "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"),
            0);
  XMLPage empty;
  empty.header = "";
  EXPECT_EQ(Render(empty), "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n");
}

TEST_F(XMLPageTest, ConstructorsAndSetters) {
  XMLItem number("n", -42, nullptr);
  EXPECT_STREQ(number, "-42");
  XMLItem percent("p", "100%%", nullptr);
  EXPECT_STREQ(percent, "100%");
  // A stray conversion in the literal text reads no argument.
  XMLItem stray("p", "%s%d%", nullptr);
  EXPECT_STREQ(stray, "%s%d%");
  XMLItem null_value("p", static_cast<const char*>(nullptr), nullptr);
  EXPECT_STREQ(null_value, "");
  EXPECT_STREQ(null_value.tags, "");
  null_value.Set(7);
  EXPECT_STREQ(null_value.svalue, "7");
  null_value.Set("%s", "100%");
  EXPECT_STREQ(null_value.svalue, "100%");
}

TEST_F(XMLPageTest, ValueConversions) {
  const struct {
    const char* text;
    bool as_bool;
    int as_int;
  } cases[] = {
      {"1", true, 1},     {"01", false, 1}, {"1 ", false, 1},
      {"true", false, 0}, {"", false, 0},   {"42abc", false, 42},
      {" -7", false, -7}, {"+3", false, 3}, {"2", false, 2},
  };
  for (const auto& c : cases) {
    XMLItem item("v", "", nullptr);
    item.Set("%s", c.text);
    EXPECT_EQ(static_cast<bool>(item), c.as_bool) << c.text;
    EXPECT_EQ(static_cast<int>(item), c.as_int) << c.text;
  }
}

}  // namespace
