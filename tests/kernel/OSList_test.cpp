#include "kernel/OSList.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <functional>
#include <set>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

#include "kernel/OSConsole.h"
#include "kernel/OSKernel.h"

namespace {

// A named list element; counts its destructions when given a counter.
class Elem : public OSLinkListObj {
 public:
  explicit Elem(const char* n, int* destroyed = nullptr)
      : name(n), destroyed_(destroyed) {}
  ~Elem() override {
    if (destroyed_ != nullptr) ++*destroyed_;
  }
  bool IsKey(char* key) override { return key != nullptr && name == key; }

  std::string name;

 private:
  int* destroyed_;
};

// The names of a list's elements, front to back, read through operator[].
std::string Names(OSLinkList& list) {
  std::string out;
  for (int i = 0; list[i] != nullptr; i++) {
    out += static_cast<Elem*>(list[i])->name;
  }
  return out;
}

// Fatal messages go to the console's output; death tests read stderr.
void FatalToStderr() { Console->SetOutput(stderr); }

char* Key(const char* s) { return const_cast<char*>(s); }

class OSListTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    os_startup(0, 0, nullptr);
  }
};

// ---- the link pool ----

TEST_F(OSListTest, PoolGrowsByOneBlockAndRecyclesLinks) {
  ASSERT_EQ(KERNELCFG->link_qty, 4000);
  const int before = OSLink::link_pool_size;
  std::vector<OSLink*> links;
  for (int i = 0; i < before; i++) links.push_back(OSLink::Alloc());
  void* block = OSLink::link_mem;
  links.push_back(OSLink::Alloc());
  EXPECT_NE(OSLink::link_mem, block);
  EXPECT_EQ(OSLink::link_pool_size, 3999);
  EXPECT_EQ(std::set<OSLink*>(links.begin(), links.end()).size(), links.size());
  for (OSLink* link : links) {
    ASSERT_TRUE(link->Validate());
    ASSERT_TRUE(link->object == nullptr && !link->isFree && link->next == link);
  }
  for (OSLink* link : links) link->Free();
  EXPECT_EQ(OSLink::link_pool_size, before + 4000);
  OSLink* last = links.back();
  EXPECT_TRUE(last->isFree);
  EXPECT_EQ(last->object, last);     // a free link carries itself
  EXPECT_EQ(OSLink::Alloc(), last);  // and is the first to be reused
  last->Free();
}

TEST_F(OSListTest, PoolMisuseIsFatal) {
  EXPECT_DEATH(
      {
        FatalToStderr();
        OSLink* link = OSLink::Alloc();
        link->Free();
        link->Free();
      },
      "OSLink::Free already free");
  EXPECT_DEATH(
      {
        FatalToStderr();
        OSLink on_stack;
        on_stack.Free();
      },
      "OSLink::Free corrupt link");
}

TEST_F(OSListTest, FreeingALinkStillInAListTakesItOutFirst) {
  OSLink head;
  OSLink* link = OSLink::Alloc();
  int obj = 0;
  link->LinkBefore(&head, &obj);
  link->Free();
  EXPECT_TRUE(head.next == &head && head.previous == &head);
}

// ---- lists of objects that are their own links ----

TEST_F(OSListTest, PositionsCountsAndSignature) {
  OSLinkList list;
  EXPECT_TRUE(list.next == &list && list.previous == &list);
  EXPECT_EQ(list.FirstObject(), nullptr);
  EXPECT_EQ(list.LastObject(), nullptr);
  Elem a("a"), b("b"), c("c"), d("d"), e("e");
  list.Append(&b);
  list.Insert(&a);
  list.Append(&d);
  list.InsertAt(&d, &c, &c);
  list.InsertAt(nullptr, &e, &e);  // no position: at the end
  list.Append(static_cast<OSLinkListObj*>(nullptr));
  EXPECT_EQ(Names(list), "abcde");
  EXPECT_EQ(list.Size(), 5);
  EXPECT_EQ(list.Signature(), 5u);
  EXPECT_EQ(list.FirstObject(), &a);
  EXPECT_EQ(list.LastObject(), &e);
  EXPECT_EQ(list.PosInList(&c), 2);
  EXPECT_EQ(list[-1], nullptr);
  list.Remove(&c);
  list.Remove(&c);  // carries nothing any more: ignored
  EXPECT_EQ(Names(list), "abde");
  EXPECT_EQ(list.Signature(), 6u);
  EXPECT_TRUE(c.object == nullptr && c.next == &c);

  OSLinkList pool_links;  // Flush frees pool links without counting
  pool_links.Append(OSLink::Alloc(), &a);
  pool_links.Flush();
  EXPECT_EQ(pool_links.Signature(), 1u);
  EXPECT_EQ(pool_links.Size(), 0);
}

TEST_F(OSListTest, LinkAlreadyInAListIsFatal) {
  Elem a("a");
  OSLinkList list, other;
  list.Append(&a);
  EXPECT_DEATH((FatalToStderr(), other.Append(&a)),
               "OSLinkList::Append Obj of link that is already in a list");
  EXPECT_DEATH((FatalToStderr(), other.Append(&a, &a)),
               "OSLinkList::Append of link that is already in a list");
  EXPECT_DEATH((FatalToStderr(), other.Insert(&a)),
               "OSLinkList::Insert Obj of link that is already in a list");
  EXPECT_DEATH((FatalToStderr(), other.Insert(&a, &a)),
               "OSLinkList::Insert of link that is already in a list");
  EXPECT_DEATH((FatalToStderr(), other.InsertAt(&other, &a, &a)),
               "OSLinkList::InsertAt of link that is already in a list");
}

TEST_F(OSListTest, LookupSearchAndFind) {
  OSLinkList list;
  Elem sentinel("sentinel");  // non-null values, to see them overwritten
  OSListObj* obj = &sentinel;
  OSLink* link = &sentinel;
  int index = 7;
  EXPECT_FALSE(list.Lookup(Key("a"), &obj, &link, &index));
  EXPECT_TRUE(obj == nullptr && link == nullptr && index == -1);
  EXPECT_EQ(list.Search(Key("a")), -1);
  EXPECT_EQ(list.Find(Key("a")), nullptr);

  Elem a("a"), b("b"), b2("b");
  list.Append(&a);
  list.Append(&b);
  list.Append(&b2);
  EXPECT_TRUE(list.Lookup(Key("b"), &obj, &link, &index));
  EXPECT_EQ(obj, &b);  // the first match wins
  EXPECT_EQ(link, static_cast<OSLink*>(&b));
  EXPECT_EQ(index, 1);
  EXPECT_EQ(list.Find(Key("a")), &a);
  EXPECT_EQ(list.Search(Key("z")), -1);
}

TEST_F(OSListTest, ElementsOutliveOrDieWithTheirList) {
  int destroyed = 0;
  {
    OSLinkList owning(1);
    owning.Append(new Elem("a", &destroyed));
    owning.Append(new Elem("b", &destroyed));
    owning.Flush();
    EXPECT_EQ(destroyed, 2);
    owning.Append(new Elem("c", &destroyed));
  }
  EXPECT_EQ(destroyed, 3);

  Elem a("a"), c("c");
  {
    OSLinkList borrowing;
    borrowing.Append(&a);
    borrowing.Append(new Elem("b"));
    borrowing.Append(&c);
    delete static_cast<Elem*>(borrowing[1]);  // leaves the list itself
    EXPECT_EQ(a.next, static_cast<OSLink*>(&c));
  }
  // Not left pointing at the destroyed head: free to join another list.
  EXPECT_TRUE(a.object == nullptr && a.next == &a && c.previous == &c);
  Elem copy(a);
  EXPECT_TRUE(copy.object == nullptr && copy.next == &copy);
}

// ---- indirect lists ----

TEST_F(OSListTest, IndirectListPositionsAndPoolLinks) {
  OSIndirectList list;
  Elem a("a"), b("b"), c("c"), d("d"), e("e"), x("x");
  const int pool = OSLink::link_pool_size;
  EXPECT_NE(list.Append(&c), nullptr);
  list.Insert(&a);
  list.InsertAt(&a, &b);      // after a
  list.InsertBefore(&c, &d);  // before c
  EXPECT_EQ(Names(list), "abdc");
  list.InsertAt(&x, &e);      // x absent: at the end
  list.InsertBefore(&x, &x);  // x absent: at the front
  list.Append(&a);            // a second time
  EXPECT_EQ(Names(list), "xabdcea");
  EXPECT_EQ(OSLink::link_pool_size, pool - 7);
  EXPECT_EQ(list.Append(nullptr), nullptr);
  EXPECT_EQ(list.InsertAt(nullptr, &a), nullptr);
  EXPECT_EQ(list.InsertBefore(&a, nullptr), nullptr);
  list.Validate(Key("positions"));

  list.Remove(&a);  // the first occurrence only
  list.Remove(&a);
  list.Remove(&a);  // absent: ignored
  EXPECT_EQ(Names(list), "xbdce");
  EXPECT_EQ(list.Signature(), 9u);
  EXPECT_EQ(OSLink::link_pool_size, pool - 5);
  list.Flush();
  EXPECT_EQ(list.Size(), 0);
  EXPECT_EQ(OSLink::link_pool_size, pool);
}

TEST_F(OSListTest, IndirectListDeletesOnlyWhatItOwns) {
  int destroyed = 0;
  const int pool = OSLink::link_pool_size;
  Elem kept("k", &destroyed);
  {
    OSIndirectList owning(1);
    owning.Append(new Elem("a", &destroyed));
    owning.Append(&kept);
    owning.Remove(&kept);  // removing never deletes
    owning.Flush();
    EXPECT_EQ(destroyed, 1);
    owning.Append(new Elem("c", &destroyed));
    OSIndirectList borrowing;
    borrowing.Append(&kept);
  }
  EXPECT_EQ(destroyed, 2);
  EXPECT_EQ(OSLink::link_pool_size, pool);
}

TEST_F(OSListTest, IndirectListValidateFindsCorruption) {
  OSIndirectList list;
  Elem a("a"), b("b");
  list.Append(&a);
  list.Append(&b);
  list.Validate(Key("sound"));
  EXPECT_DEATH(
      {
        FatalToStderr();
        list.number_in_list = 3;
        list.Validate(Key("short"));
      },
      "OSIndirectList 0x[0-9a-f]+ incorrect length size=3 count=2 in short");
  EXPECT_DEATH(
      {
        FatalToStderr();
        list.number_in_list = 1;
        list.Validate(Key("long"));
      },
      "OSIndirectList 0x[0-9a-f]+ incorrect length size=1 count=2 in long");
  EXPECT_DEATH(
      {
        FatalToStderr();
        OSLink stranger;
        stranger.LinkBefore(list.next->next, &b);
        list.number_in_list++;
        list.Validate(Key("spliced"));
      },
      "OSIndirectList 0x[0-9a-f]+ corrupted @0x[0-9a-f]+ size=3 count=1 in "
      "spliced");
}

// ---- iterators ----

TEST_F(OSListTest, IteratorWalksGotoAndIndex) {
  OSIndirectList list;
  Elem a("a"), b("b"), c("c");
  list.Append(&a);
  list.Append(&b);
  list.Append(&c);
  OSListIterator it(&list);
  std::string seen;
  while (OSListObj* obj = it.Next()) {
    seen += static_cast<Elem*>(obj)->name;
    list.Remove(obj);  // removing what was just returned is safe
  }
  EXPECT_EQ(seen, "abc");
  EXPECT_EQ(it.Next(), nullptr);  // stays at the end

  list.Append(&a);
  list.Append(&b);
  list.Append(&c);
  it.Init(&list);
  it.Goto(2);
  EXPECT_EQ(it.Next(), &c);
  it.Goto(9);
  EXPECT_EQ(it.Next(), nullptr);
  EXPECT_EQ(it[1], &b);
  EXPECT_EQ(it.Next(), &c);  // the walk continues after the indexed element
  EXPECT_EQ(it[-1], nullptr);
  OSListIterator unset;
  EXPECT_EQ(unset.Next(), nullptr);

  OSLinkHead head;
  int x = 1;
  OSLink l1;
  l1.LinkBefore(&head, &x);
  OSLinkIterator links(&head);
  EXPECT_EQ(links.Next(), &x);
  EXPECT_EQ(links.Next(), nullptr);
}

// ---- the protected list ----

// Its unlocked base operations cannot be reached through a base pointer.
static_assert(!std::is_convertible<OSProtectedList*, OSIndirectList*>::value &&
                  !std::is_convertible<OSProtectedList*, OSLinkList*>::value &&
                  !std::is_convertible<OSProtectedList*, OSLink*>::value,
              "OSProtectedList must not convert to an unlocked list");

TEST_F(OSListTest, ProtectedListIsSafeAcrossThreads) {
  constexpr int kPerThread = 3000;
  {
    // Grow the pool beforehand, so that its size can be compared after.
    OSIndirectList warm_up;
    Elem e("e");
    for (int i = 0; i < 2 * kPerThread; i++) warm_up.Append(&e);
  }
  OSProtectedList list;
  const int pool = OSLink::link_pool_size;
  std::vector<Elem> first(kPerThread, Elem("f"));
  std::vector<Elem> second(kPerThread, Elem("s"));
  std::atomic<int> found{0};
  auto work = [&](std::vector<Elem>& mine) {
    for (Elem& e : mine) {
      list.Append(&e);
      if (list.Find(Key(e.name.c_str())) != nullptr) found++;
      list.FirstObject();
      list.LastObject();
    }
    for (Elem& e : mine) list.Remove(&e);
  };
  std::thread t1(work, std::ref(first));
  std::thread t2(work, std::ref(second));
  t1.join();
  t2.join();
  EXPECT_EQ(found.load(), 2 * kPerThread);
  EXPECT_EQ(list.Size(), 0);
  list.Validate(Key("after the threads"));
  EXPECT_EQ(OSLink::link_pool_size, pool);
  EXPECT_EQ(list.Signature(), 4u * kPerThread);
}

}  // namespace
