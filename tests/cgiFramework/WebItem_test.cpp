// The element tree: linking, ownership through `destroy`, pre-order Find,
// and the verbatim text element WebValue.
#include "cgiFramework/WebItem.h"

#include <string>

#include <gtest/gtest.h>

#include "cgiFramework/WebValue.h"
#include "tests/cgiFramework/RenderTestSupport.h"

namespace {

// An element that answers to its label and counts its destruction.
class Labelled : public WebItem {
 public:
  explicit Labelled(const char* Alabel, int* Adeleted = nullptr)
      : label(Alabel), deleted(Adeleted) {}
  ~Labelled() override {
    if (deleted != nullptr) ++*deleted;
  }
  bool Match(const char* name) override { return label == name; }
  void Render(WebContext& context, WebRender* o) override {
    o->printf("[%s", label.c_str());
    WebItem::Render(context, o);
    o->printf("]");
  }

  std::string label;
  int* deleted;
};

class WebItemTest : public webtest::RenderFixture {};

TEST_F(WebItemTest, AddAndInsertLinkInOrderAndReturnTheParent) {
  WebItem root;
  EXPECT_TRUE(root.destroy);
  EXPECT_EQ(root.Add(new Labelled("b")), &root);
  EXPECT_EQ(root.Insert(new Labelled("a")), &root);
  EXPECT_EQ(root.Add(new Labelled("c")), &root);
  EXPECT_EQ(root.Add(nullptr), &root);
  EXPECT_EQ(root.Insert(nullptr), &root);
  EXPECT_EQ(root.contains.Size(), 3);
  EXPECT_EQ(Render(root), "[a][b][c]");
}

TEST_F(WebItemTest, ParentDeletesOnlyChildrenMarkedDestroy) {
  int deleted = 0;
  Labelled* kept = new Labelled("kept", &deleted);
  kept->destroy = false;
  {
    WebItem root;
    Labelled* owned = new Labelled("owned", &deleted);
    owned->Add(new Labelled("grandchild", &deleted));
    root.Add(owned)->Add(kept);
  }
  EXPECT_EQ(deleted, 2);
  // The survivor was unlinked: it can join another tree.
  WebItem other;
  other.Add(kept);
  EXPECT_EQ(other.contains.Size(), 1);
  kept->destroy = true;
}

TEST_F(WebItemTest, FindSearchesBelowInPreOrder) {
  WebItem root;
  Labelled* first = new Labelled("first");
  Labelled* nested = new Labelled("x");
  Labelled* second = new Labelled("x");
  first->Add(nested);
  root.Add(first)->Add(second);
  EXPECT_EQ(root.Find("x"), nested);
  EXPECT_EQ(root.Find("first"), first);
  EXPECT_EQ(first->Find("first"), nullptr);  // never the element itself
  EXPECT_EQ(root.Find("none"), nullptr);
  EXPECT_FALSE(root.Match("anything"));
}

TEST_F(WebItemTest, WebValueWritesItsTextVerbatimThenChildren) {
  WebValue value("<b>%s & %d%%</b>", "x", 5);
  EXPECT_STREQ(value.value, "<b>x & 5%</b>");
  value.Add(new WebValue("%s", "%s\n"));
  EXPECT_EQ(Render(value), "<b>x & 5%</b>%s\n");
  WebItem group;
  EXPECT_EQ(Render(group), "");
}

}  // namespace
