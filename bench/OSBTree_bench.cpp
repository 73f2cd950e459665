// OSBTree against std::multimap on the same work: inserting random keys
// (with duplicates), looking each one up, and removing them all again.
#include <benchmark/benchmark.h>

#include <map>
#include <memory>
#include <random>
#include <vector>

#include "kernel/OSBTree.h"

namespace {

class IntObj : public OSBTreeObj {
 public:
  explicit IntObj(int k) : key(k) {}
  int Compare(OSBTreeObj* o) override { return Sign(key, Key(o)); }
  int CompareLeft(OSBTreeObj* o) override { return Compare(o); }
  int CompareAmbiguous(OSBTreeObj* o, int) override { return Compare(o); }
  int CompareMaxLen() override { return 0; }
  const int key;

 private:
  static int Key(OSBTreeObj* o) { return static_cast<IntObj*>(o)->key; }
  static int Sign(int a, int b) { return (a > b) - (a < b); }
};

std::vector<int> RandomKeys(int n) {
  std::mt19937 rng(42);
  std::vector<int> keys(n);
  for (int& k : keys) k = static_cast<int>(rng() % (n / 2 + 1));
  return keys;
}

void BM_OSBTreeAddFindRemove(benchmark::State& state) {
  const std::vector<int> keys = RandomKeys(static_cast<int>(state.range(0)));
  std::vector<std::unique_ptr<IntObj>> objs;
  for (int k : keys) objs.push_back(std::make_unique<IntObj>(k));
  for (auto _ : state) {
    OSBTree tree;
    for (auto& o : objs) tree.Add(o.get());
    for (auto& o : objs) benchmark::DoNotOptimize(tree.Find(o.get()));
    for (auto& o : objs) tree.Remove(o.get());
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}

void BM_MultimapAddFindRemove(benchmark::State& state) {
  const std::vector<int> keys = RandomKeys(static_cast<int>(state.range(0)));
  std::vector<std::unique_ptr<IntObj>> objs;
  for (int k : keys) objs.push_back(std::make_unique<IntObj>(k));
  for (auto _ : state) {
    std::multimap<int, IntObj*> map;
    std::vector<std::multimap<int, IntObj*>::iterator> where;
    where.reserve(objs.size());
    for (auto& o : objs) where.push_back(map.emplace(o->key, o.get()));
    for (auto& o : objs) benchmark::DoNotOptimize(map.find(o->key));
    for (auto it : where) map.erase(it);
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}

BENCHMARK(BM_OSBTreeAddFindRemove)->Arg(1000)->Arg(100000);
BENCHMARK(BM_MultimapAddFindRemove)->Arg(1000)->Arg(100000);

}  // namespace

BENCHMARK_MAIN();
