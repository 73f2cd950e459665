#include "kernel/OSBTree.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "kernel/OSConsole.h"

namespace {

int g_comparisons = 0;

// An integer key; CompareLeft groups keys by tens, contiguous runs in order.
class IntObj : public OSBTreeObj {
 public:
  explicit IntObj(int k, int* destroyed = nullptr)
      : key(k), destroyed_(destroyed) {}
  ~IntObj() override {
    if (destroyed_ != nullptr) ++*destroyed_;
  }
  int Compare(OSBTreeObj* o) override { return Sign(key, Key(o)); }
  int CompareLeft(OSBTreeObj* o) override {
    return Sign(key / 10, Key(o) / 10);
  }
  int CompareAmbiguous(OSBTreeObj* o, int) override { return Compare(o); }
  int CompareMaxLen() override { return 0; }
  static int Key(OSBTreeObj* o) { return static_cast<IntObj*>(o)->key; }
  const int key;

 private:
  static int Sign(int a, int b) {
    g_comparisons++;
    return (a > b) - (a < b);
  }
  int* destroyed_;
};

// A text key whose ambiguous comparison looks at the probe's first `len` bytes.
class TextObj : public OSBTreeObj {
 public:
  explicit TextObj(std::string t) : text(std::move(t)) {}
  int Compare(OSBTreeObj* o) override { return CompareAmbiguous(o, 1 << 30); }
  int CompareLeft(OSBTreeObj* o) override { return Compare(o); }
  int CompareAmbiguous(OSBTreeObj* o, int len) override {
    return std::strncmp(text.c_str(), static_cast<TextObj*>(o)->text.c_str(),
                        len);
  }
  int CompareMaxLen() override { return static_cast<int>(text.size()); }
  const std::string text;
};

// Records console messages while it stands in as the process console.
class RecordingConsole : public OSConsole {
 public:
  RecordingConsole() : saved_(Console) { Console = this; }
  ~RecordingConsole() override { Console = saved_; }
  void vPrint(const char* fmt, va_list args) override {
    char line[256];
    vsnprintf(line, sizeof(line), fmt, args);
    lines.emplace_back(line);
  }
  std::vector<std::string> lines;

 private:
  OSConsole* saved_;
};

std::vector<OSBTreeObj*> Forwards(OSBTree& tree) {
  std::vector<OSBTreeObj*> out;
  for (OSBTreeObj* x = tree.First(); x != nullptr; x = tree.Next(x, nullptr))
    out.push_back(x);
  return out;
}

std::vector<OSBTreeObj*> Backwards(OSBTree& tree) {
  std::vector<OSBTreeObj*> out;
  for (OSBTreeObj* x = tree.Last(); x != nullptr; x = tree.Previous(x))
    out.push_back(x);
  return out;
}

OSBTreeObj* Top(OSBTree& tree) {
  OSBTreeObj* n = tree.First();
  while (n != nullptr && n->link[2] != nullptr) n = n->link[2];
  return n;
}

// Checks links, balances and chains below `n`; returns the subtree height,
// appends the tree nodes in order and counts every object held.
int Verify(OSBTreeObj* n, OSBTreeObj* parent, std::vector<OSBTreeObj*>* nodes,
           int* objects, std::string* err) {
  if (n == nullptr) return 0;
  if (n->link[2] != parent || n->dupprev != nullptr)
    *err += "bad tree node links\n";
  int left = Verify(n->link[0], n, nodes, objects, err);
  nodes->push_back(n);
  for (OSBTreeObj *d = n, *prev = nullptr; d != nullptr;
       prev = d, d = d->dupnext) {
    ++*objects;
    if (d != n &&
        (d->dupprev != prev || d->Compare(n) != 0 || d->link[2] != nullptr))
      *err += "bad duplicate chain\n";
  }
  int right = Verify(n->link[1], n, nodes, objects, err);
  if (n->balance != right - left || std::abs(right - left) > 1)
    *err += "bad balance\n";
  return 1 + std::max(left, right);
}

::testing::AssertionResult IsSoundAvl(OSBTree& tree) {
  std::vector<OSBTreeObj*> nodes;
  int objects = 0;
  std::string err;
  int height = Verify(Top(tree), nullptr, &nodes, &objects, &err);
  for (size_t i = 1; i < nodes.size(); i++)
    if (nodes[i - 1]->Compare(nodes[i]) >= 0) err += "keys out of order\n";
  if (objects != tree.Size())
    err += "Size() is not the number of objects held\n";
  if (height > 1.4405 * std::log2(nodes.size() + 2.0) - 0.3277)
    err += "tree too high\n";
  if (err.empty()) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << err;
}

TEST(OSBTreeTest, AscendingInsertsStayBalanced) {
  OSBTree tree;
  for (int k = 1; k <= 1000; k++) {
    tree.Add(new IntObj(k));
    ASSERT_TRUE(IsSoundAvl(tree)) << "after adding " << k;
  }
  std::vector<OSBTreeObj*> all = Forwards(tree);
  ASSERT_EQ(1000u, all.size());
  for (int k = 1; k <= 1000; k++) EXPECT_EQ(k, IntObj::Key(all[k - 1]));
}

TEST(OSBTreeTest, DuplicateChainOrderStepsAndHeadRemoval) {
  OSBTree tree;
  IntObj *a = new IntObj(1), *b1 = new IntObj(2), *b2 = new IntObj(2),
         *b3 = new IntObj(2), *c = new IntObj(3);
  for (OSBTreeObj* o : {a, b1, b2, b3, c}) EXPECT_TRUE(tree.Add(o));
  EXPECT_EQ(5, tree.Size());
  EXPECT_EQ((std::vector<OSBTreeObj*>{a, b1, b3, b2, c}), Forwards(tree));
  EXPECT_EQ((std::vector<OSBTreeObj*>{c, b2, b3, b1, a}), Backwards(tree));

  IntObj key99(99), key2(2), key3(3);
  EXPECT_EQ(b3, tree.Next(b1, &key99));  // duplicates come back unmatched
  EXPECT_EQ(nullptr, tree.Next(b2, &key2));
  EXPECT_EQ(c, tree.Next(b2, &key3));

  OSBTreeObj* place[3] = {b1->link[0], b1->link[1], b1->link[2]};
  const int8_t balance = b1->balance;
  tree.Remove(b1);
  EXPECT_EQ(b3, tree.Find(&key2));
  EXPECT_TRUE(std::equal(place, place + 3, b3->link) && b3->balance == balance);
  EXPECT_EQ((std::vector<OSBTreeObj*>{a, b3, b2, c}), Forwards(tree));
  EXPECT_TRUE(IsSoundAvl(tree));
  // The removed object is free again.
  EXPECT_TRUE(b1->link[2] == nullptr && b1->dupnext == nullptr);
  tree.Add(b1);
  EXPECT_EQ((std::vector<OSBTreeObj*>{a, b3, b1, b2, c}), Forwards(tree));
}

TEST(OSBTreeTest, RemoveLeavesObjectsItDoesNotHold) {
  OSBTree tree, other;
  IntObj* held = new IntObj(2);
  IntObj* elsewhere = new IntObj(2);
  tree.Add(held);
  other.Add(new IntObj(2));
  other.Add(elsewhere);
  IntObj stranger(2), missing(7);
  for (IntObj* o : {&stranger, &missing, elsewhere}) tree.Remove(o);
  EXPECT_EQ(1, tree.Size());
  EXPECT_EQ(held, tree.First());
  EXPECT_EQ(2u, Forwards(other).size());
}

TEST(OSBTreeTest, SearchesCountComparisonsAndFindNearestKeys) {
  OSBTree tree;
  IntObj probe(40);
  EXPECT_EQ(nullptr, tree.Find(&probe));
  EXPECT_EQ(0, tree.count);
  EXPECT_EQ(nullptr, tree.FindLE(&probe));
  for (int k = 10; k <= 70; k += 10)
    tree.Add(new IntObj(k));  // perfect tree, 40 on top
  EXPECT_EQ(probe.key, IntObj::Key(tree.Find(&probe)));
  EXPECT_EQ(1, tree.count);
  IntObj miss(5);
  g_comparisons = 0;
  EXPECT_EQ(nullptr, tree.Find(&miss));
  EXPECT_TRUE(tree.count == 3 && g_comparisons == 3);

  auto key = [](OSBTreeObj* o) { return o == nullptr ? -1 : IntObj::Key(o); };
  for (auto [k, le, ge] : std::vector<std::array<int, 3>>{{5, -1, 10},
                                                          {10, 10, 10},
                                                          {45, 40, 50},
                                                          {70, 70, 70},
                                                          {71, 70, -1}}) {
    IntObj p(k);
    EXPECT_EQ(le, key(tree.FindLE(&p))) << k;
    EXPECT_EQ(ge, key(tree.FindGE(&p))) << k;
  }
}

TEST(OSBTreeTest, FindLeftAndNextLeftWalkTheWholeRun) {
  OSBTree tree;
  for (int k : {5, 31, 38, 30, 12, 33, 47, 31, 40, 39, 2, 33, 55})
    tree.Add(new IntObj(k));
  IntObj probe(35);
  std::vector<int> run;
  for (OSBTreeObj* x = tree.FindLeft(&probe); x != nullptr;
       x = tree.NextLeft(x, &probe))
    run.push_back(IntObj::Key(x));
  EXPECT_EQ((std::vector<int>{30, 31, 31, 33, 33, 38, 39}), run);
  IntObj empty_run(20);
  EXPECT_EQ(nullptr, tree.FindLeft(&empty_run));
}

TEST(OSBTreeTest, FindAmbiguousShortensTheProbeAndReportsNewMaxima) {
  OSBTree tree;
  for (const char* t : {"10", "200", "300", "4711", "4999", "55", "600"})
    tree.Add(new TextObj(t));
  IntObj no_length(1);
  g_comparisons = 0;
  EXPECT_EQ(nullptr, tree.FindAmbiguous(&no_length));
  EXPECT_TRUE(g_comparisons == 0 && tree.count == 0);

  TextObj full("4711"), third_pass("3099"), none("9");
  EXPECT_EQ("4711", static_cast<TextObj*>(tree.FindAmbiguous(&full))->text);
  EXPECT_EQ(1, tree.count);
  EXPECT_EQ("300",
            static_cast<TextObj*>(tree.FindAmbiguous(&third_pass))->text);
  EXPECT_EQ(3 + 3 + 3, tree.count);  // "3099" and "309" miss, "30" is found
  EXPECT_EQ(nullptr, tree.FindAmbiguous(&none));

  // Only a new maximum of the process is reported, so each run of this test
  // in one process probes with a longer key than the run before.
  static int runs = 0;
  const int passes = 500 + runs++;
  RecordingConsole recorder;
  TextObj record(std::string(passes, 'z'));  // passes of 3 comparisons each
  EXPECT_EQ(nullptr, tree.FindAmbiguous(&record));
  EXPECT_EQ(nullptr, tree.FindAmbiguous(&record));
  EXPECT_EQ(std::vector<std::string>{"OSBTree::FindAmbiguous maxcount=" +
                                     std::to_string(3 * passes)},
            recorder.lines);
}

TEST(OSBTreeTest, DestructorDeletesEveryObjectIncludingDuplicates) {
  int destroyed = 0;
  {
    OSBTree tree;
    for (int i = 0; i < 300; i++) tree.Add(new IntObj(i % 37, &destroyed));
  }
  EXPECT_EQ(300, destroyed);
}

// Random inserts and removals, duplicates included, against a multimap that
// holds equal keys in the tree's order: the first, then latest to earliest.
TEST(OSBTreeTest, RandomOperationsMatchMultimap) {
  std::mt19937 rng(20240613);
  OSBTree tree;
  std::multimap<int, IntObj*> oracle;
  std::vector<IntObj*> held;
  auto head = [&](std::multimap<int, IntObj*>::iterator it) -> OSBTreeObj* {
    return it == oracle.end() ? nullptr : oracle.find(it->first)->second;
  };
  for (int step = 0; step < 24000; step++) {
    const int key = static_cast<int>(rng() % 1500);
    const unsigned insert_percent =
        step % 8000 < 4000 ? 65 : 35;  // grow, then shrink
    if (held.empty() || rng() % 100 < insert_percent) {
      IntObj* obj = new IntObj(key);
      tree.Add(obj);
      auto first = oracle.find(key);
      oracle.emplace_hint(first == oracle.end() ? first : std::next(first), key,
                          obj);
      held.push_back(obj);
    } else {
      std::swap(held[rng() % held.size()], held.back());
      IntObj* obj = held.back();
      held.pop_back();
      tree.Remove(obj);
      auto it = oracle.find(obj->key);
      while (it->second != obj) ++it;
      oracle.erase(it);
      delete obj;
    }
    if (step % 5 != 0) continue;
    ASSERT_TRUE(IsSoundAvl(tree)) << "step " << step;
    std::vector<OSBTreeObj*> expected;
    for (auto& kv : oracle) expected.push_back(kv.second);
    ASSERT_EQ(expected, Forwards(tree));
    if (step % 400 == 0 && !oracle.empty()) {
      // Backwards starts at the last key's tree node, before its duplicates.
      std::reverse(expected.begin(), expected.end());
      expected.erase(expected.begin(),
                     std::find(expected.begin(), expected.end(),
                               head(std::prev(oracle.end()))));
      ASSERT_EQ(expected, Backwards(tree));
    }
    IntObj probe(key);
    EXPECT_EQ(head(oracle.find(key)), tree.Find(&probe));
    EXPECT_EQ(head(oracle.lower_bound(key)), tree.FindGE(&probe));
    auto above = oracle.upper_bound(key);
    EXPECT_EQ(above == oracle.begin() ? nullptr : head(std::prev(above)),
              tree.FindLE(&probe));
    auto run = oracle.lower_bound(key / 10 * 10);
    bool in_run = run != oracle.end() && run->first / 10 == key / 10;
    EXPECT_EQ(in_run ? head(run) : nullptr, tree.FindLeft(&probe));
  }
}

TEST(OSBTreeTest, ConcurrentAddsAreSerialised) {
  OSBTree tree;
  std::atomic<bool> go{false};
  auto add = [&](int base) {
    while (!go) std::this_thread::yield();
    for (int i = 0; i < 20000; i++) tree.Add(new IntObj(base + i % 500));
  };
  std::thread t1(add, 0), t2(add, 250);
  go = true;
  t1.join();
  t2.join();
  EXPECT_EQ(40000, tree.Size());
  EXPECT_TRUE(IsSoundAvl(tree));
}

}  // namespace
