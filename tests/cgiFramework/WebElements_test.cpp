// The exact bytes of every HTML element, with and without attribute text,
// and the table's header section and ownership.
#include "cgiFramework/WebElements.h"

#include <functional>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "cgiFramework/WebFields.h"
#include "cgiFramework/WebValue.h"
#include "tests/cgiFramework/RenderTestSupport.h"

namespace {

class WebElementsTest : public webtest::RenderFixture {};

struct ElementCase {
  const char* what;
  std::function<WebItem*()> make;
  const char* output;  // with one child writing "X"
};

TEST_F(WebElementsTest, EveryElementRendersExactly) {
  const ElementCase cases[] = {
      {"div", [] { return new WebDiv(); }, "<div >X</div>"},
      {"div formatted", [] { return new WebDiv("class=\"%s\"", "c"); },
       "<div class=\"c\">X</div>"},
      {"cell", [] { return new WebCell("c"); }, "<td c>X</td>"},
      {"cell null", [] { return new WebCell(nullptr); }, "<td >X</td>"},
      {"cell header", [] { return new WebCellHeader("h"); }, "<th h>X</th>"},
      {"row", [] { return new WebRow("r"); }, "<tr r>X</tr>\n"},
      {"ordered list", [] { return new WebList("l", true); },
       "<ol l>\nX</ol>\n"},
      {"list", [] { return new WebList("", false); }, "<ul >\nX</ul>\n"},
      {"list item", [] { return new WebListItem("i"); }, "<li i>X</li>\n"},
      {"link", [] { return new WebLink("href=\"/a?b&c\""); },
       "<a href=\"/a?b&c\">X</a>"},
      {"field", [] { return new WebField("n", "text", "", "c"); },
       "<input type=text name=\"n\" c>\nX"},
      {"field valued", [] { return new WebField("n", "text", "v<&", nullptr); },
       "<input type=text name=\"n\" value=\"v<&\" >\nX"},
      {"text area", [] { return new WebField("n", "textarea", "v", "rows=2"); },
       "<textarea name=\"n\" rows=2 >v</textarea>X"},
      {"text area prefix",
       [] { return new WebField("n", "textarea2", "", ""); },
       "<textarea2 name=\"n\"  ></textarea>X"},
      {"short type", [] { return new WebField("n", "textare", "", ""); },
       "<input type=textare name=\"n\" >\nX"},
      {"select", [] { return new WebDropDownList("s", "c"); },
       "<select name=\"s\" c>\nX</select>\n"},
      {"option", [] { return new WebDropDownListItem(true, "v", "T"); },
       "<option selected value=\"v\">TX</option>\n"},
      {"option bare", [] { return new WebDropDownListItem(false, "", "T"); },
       "<option  >TX</option>\n"},
  };
  for (const ElementCase& c : cases) {
    std::unique_ptr<WebItem> item(c.make());
    item->Add(new WebValue("X"));
    EXPECT_EQ(Render(*item), c.output) << c.what;
  }
}

TEST_F(WebElementsTest, CheckBoxMarking) {
  const struct {
    const char* value;
    bool checked;
  } cases[] = {
      {"0", false}, {"", false},  {"abc", false}, {"00", false},
      {"2", true},  {"-1", true}, {"\x01", true}, {" 7x", true},
  };
  for (const auto& c : cases) {
    WebCheckBoxField box("n", c.value, "c", false);
    EXPECT_STREQ(box.type, "checkbox");
    std::string expected =
        c.checked ? "<input type=\"checkbox\" name=\"n\" checked c >\n"
                  : "<input type=\"checkbox\" name=\"n\"  c >\n";
    EXPECT_EQ(Render(box), expected) << c.value;
  }
  WebCheckBoxField read_only("n", "1", "", true);
  read_only.Add(new WebValue("X"));
  EXPECT_EQ(Render(read_only),
            "<input type=\"checkbox\" name=\"n\" checked  "
            "onclick=\"return false;\">\nX");
}

TEST_F(WebElementsTest, FieldsAnswerToTheirExactName) {
  WebField field("Name", "text", "", "");
  EXPECT_TRUE(field.Match("Name"));
  EXPECT_FALSE(field.Match("name"));
  EXPECT_FALSE(field.Match(nullptr));
  WebTable table("");
  WebRow* row = new WebRow("");
  WebCell* cell = new WebCell("");
  WebCheckBoxField* box = new WebCheckBoxField("box", "1", "", false);
  cell->Add(box);
  row->Add(cell);
  table.Add(row);
  EXPECT_EQ(table.Find("box"), box);
}

TEST_F(WebElementsTest, TableHeadersOpenHeadAndBodySections) {
  WebTable table("class=t");
  table.Add(new WebRow(""));
  EXPECT_EQ(Render(table), "<table class=t>\n<tr ></tr>\n</table>\n");
  EXPECT_EQ(table.AddHeader(new WebCellHeader("")), &table);
  EXPECT_EQ(table.AddHeader(nullptr), &table);
  EXPECT_EQ(Render(table),
            "<table class=t>\n<thead>\n<th ></th></thead>\n<tbody>\n"
            "<tr ></tr>\n</tbody>\n</table>\n");
}

TEST_F(WebElementsTest, TableReleasesHeadersByTheirDestroyFlag) {
  WebCellHeader* kept = new WebCellHeader("kept");
  kept->destroy = false;
  {
    WebTable table("");
    table.AddHeader(new WebCellHeader("owned"));
    table.AddHeader(kept);
  }
  WebRow row("");
  row.Add(kept);  // unlinked from the dead table; owned by the row now
  kept->destroy = true;
  EXPECT_EQ(Render(row), "<tr ><th kept></th></tr>\n");
}

}  // namespace
