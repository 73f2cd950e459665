#include "kernel/OSTypedList.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "kernel/OSKernel.h"

namespace {

// A list element with a name and a sort key; counts its destructions.
class Item : public OSListObj {
 public:
  Item(const char* n, int k, int* destroyed = nullptr)
      : name(n), key(k), destroyed_(destroyed) {}
  ~Item() override {
    if (destroyed_ != nullptr) ++*destroyed_;
  }
  bool IsKey(char* text) override { return name == text; }

  std::string name;
  int key;

 private:
  int* destroyed_;
};

// A base class first, so that an Item* and its OSListObj* differ: the
// façade must convert, not reinterpret.
struct Padding {
  virtual ~Padding() = default;
  long pad = 0;
};
class Derived : public Padding, public Item {
 public:
  using Item::Item;
};

// Sorts by Item::key.
class KeyIndex : public OSBTreeObj {
 public:
  explicit KeyIndex(Item* i) : item(i) {}
  int Compare(OSBTreeObj* other) override {
    return item->key - static_cast<KeyIndex*>(other)->item->key;
  }
  Item* item;
};

static_assert(sizeof(OSTypedList<Item>) == sizeof(OSIndirectList),
              "the typed face adds no data");

template <typename T>
std::string Names(OSTypedList<T>& list) {
  std::string out;
  for (T* item : list) out += item->name;
  return out;
}

class OSTypedListTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { os_startup(0, 0, nullptr); }
};

TEST_F(OSTypedListTest, TypedAccessConvertsThroughTheElementType) {
  OSTypedList<Derived> list;
  EXPECT_EQ(list.First(), nullptr);
  EXPECT_EQ(list.begin(), list.end());
  Derived a("a", 1), b("b", 2), c("c", 3);
  for (Derived* d : {&a, &b, &c}) list.Append(d);
  EXPECT_EQ(Names(list), "abc");
  EXPECT_EQ(list.First(), &a);
  EXPECT_EQ(list.Last(), &c);
  EXPECT_EQ(list.At(1), &b);
  EXPECT_EQ(list.At(3), nullptr);
  EXPECT_EQ(list.FindKey("c"), &c);
  EXPECT_EQ(list.FindKey("x"), nullptr);
}

TEST_F(OSTypedListTest, TheLoopBodyMayRemoveOrDeleteItsElement) {
  const int pool = OSLink::link_pool_size;
  int destroyed = 0;
  {
    OSTypedList<Item> owning(1);
    for (const char* n : {"a", "b", "c", "d"})
      owning.Append(new Item(n, 0, &destroyed));
    std::string seen;
    for (Item* item : owning) {
      seen += item->name;
      owning.Remove(item);
      delete item;
    }
    EXPECT_EQ(seen, "abcd");
    EXPECT_EQ(owning.Size(), 0);
    EXPECT_EQ(destroyed, 4);
  }
  EXPECT_EQ(OSLink::link_pool_size, pool);
}

// A loop body may take out or delete any element, not only its own: the
// loop goes on with whatever follows. Under AddressSanitizer a loop that kept
// a freed element would fail here.
TEST_F(OSTypedListTest, TheLoopBodyMayRemoveOrDeleteAnyElement) {
  const int pool = OSLink::link_pool_size;
  int destroyed = 0;
  OSTypedList<Item> list(1);
  for (const char* n : {"a", "b", "c", "d", "e"})
    list.Append(new Item(n, 0, &destroyed));
  std::string seen;
  for (Item* item : list) {
    seen += item->name;
    if (item->name == "a" || item->name == "d") {  // the next one, deleted
      Item* next = list.At(list.PosInList(item) + 1);
      list.Remove(next);
      delete next;
    }
    if (item->name == "c") {  // its own
      list.Remove(item);
      delete item;
    }
  }
  EXPECT_EQ(seen, "acd");
  EXPECT_EQ(Names(list), "ad");
  EXPECT_EQ(destroyed, 3);

  // An inner loop empties the list under the outer one; a const loop sees
  // every element and can change none.
  list.Append(new Item("f", 0, &destroyed));
  seen.clear();
  for (Item* outer : list) {
    seen += outer->name;
    for (const Item* inner : static_cast<const OSTypedList<Item>&>(list)) {
      seen += inner->name;
      if (inner->name == "d") list.Flush();
    }
  }
  EXPECT_EQ(seen, "aad");
  EXPECT_EQ(list.Size(), 0);
  EXPECT_EQ(destroyed, 6);
  EXPECT_EQ(OSLink::link_pool_size, pool);
}

TEST_F(OSTypedListTest, RemoveIfDeletesOnlyWhatAnOwningListOwns) {
  const int pool = OSLink::link_pool_size;
  int destroyed = 0;
  Item a("a", 1, &destroyed), b("b", 2, &destroyed), c("c", 3, &destroyed);
  {
    OSTypedList<Item> borrowed;
    for (Item* i : {&a, &b, &c, &a}) borrowed.Append(i);
    EXPECT_EQ(borrowed.RemoveIf([](Item* i) { return i->name != "b"; }), 3);
    EXPECT_EQ(Names(borrowed), "b");
    borrowed.Validate(const_cast<char*>("after RemoveIf"));
  }
  EXPECT_EQ(destroyed, 0);
  EXPECT_EQ(OSLink::link_pool_size, pool);

  OSTypedList<Item> owning(1);
  for (const char* n : {"x", "y", "z", "w"})
    owning.Append(new Item(n, 0, &destroyed));
  EXPECT_EQ(owning.RemoveIf([](Item* i) { return i->name < "y"; }), 2);
  EXPECT_EQ(destroyed, 2);
  EXPECT_EQ(Names(owning), "yz");
  EXPECT_EQ(owning.RemoveIf([](Item*) { return false; }), 0);
  owning.Flush();
  EXPECT_EQ(destroyed, 4);
}

TEST_F(OSTypedListTest, SortByKeepsTheTreeOrderForEqualKeys) {
  int destroyed = 0;
  OSTypedList<Item> list(1);
  // Keys 2: p, q, r, s in list order; they come back p, s, r, q.
  const struct {
    const char* name;
    int key;
  } items[] = {{"p", 2}, {"a", 1}, {"q", 2}, {"z", 9}, {"r", 2}, {"s", 2}};
  for (const auto& i : items) list.Append(new Item(i.name, i.key, &destroyed));
  const int pool = OSLink::link_pool_size;
  list.SortBy(&KeyIndex::item, [](Item* i) { return new KeyIndex(i); });
  EXPECT_EQ(Names(list), "apsrqz");
  EXPECT_EQ(list.Size(), 6);
  EXPECT_EQ(OSLink::link_pool_size, pool);
  EXPECT_EQ(destroyed, 0);  // the tree deleted its index objects only
  list.Validate(const_cast<char*>("after SortBy"));
}

}  // namespace
