#include "kernel/OSBTree.h"

#include <atomic>

#include "kernel/OSConsole.h"

namespace {

const int kLeft = 0;
const int kRight = 1;
const int kParent = 2;

// The balance value of a subtree that leans towards `dir`.
int8_t Lean(int dir) { return dir == kRight ? 1 : -1; }

// The last node reached by following `dir` links from `n`.
OSBTreeObj* Extreme(OSBTreeObj* n, int dir) {
  while (n->link[dir] != nullptr) n = n->link[dir];
  return n;
}

// The neighbouring tree node of `n` in direction `dir` (kRight: in-order
// successor, kLeft: predecessor), or null when there is none.
OSBTreeObj* Neighbour(OSBTreeObj* n, int dir) {
  if (n->link[dir] != nullptr) return Extreme(n->link[dir], 1 - dir);
  OSBTreeObj* parent = n->link[kParent];
  while (parent != nullptr && parent->link[dir] == n) {
    n = parent;
    parent = n->link[kParent];
  }
  return parent;
}

// Walks down from `n`, asking `compare(node)`: negative goes left, positive
// right. Returns the node that answers 0, or null when a null link is
// reached. Adds one to *count per comparison; when `passed` is given,
// passed[dir] is the last node left in direction `dir` (null if none).
template <typename Compare>
OSBTreeObj* Descend(OSBTreeObj* n, Compare compare, int* count,
                    OSBTreeObj** passed = nullptr) {
  while (n != nullptr) {
    ++*count;
    const int c = compare(n);
    if (c == 0) return n;
    const int dir = c > 0 ? kRight : kLeft;
    if (passed != nullptr) passed[dir] = n;
    n = n->link[dir];
  }
  return nullptr;
}

// The key order of `probe` (Compare) as a function of the tree node.
auto KeyOrder(OSBTreeObj* probe) {
  return [probe](OSBTreeObj* node) { return probe->Compare(node); };
}

// Lifts a's child in direction `dir` into a's place and returns it. The child
// takes over a's parent link; the caller hangs it into that parent.
OSBTreeObj* RotateUp(OSBTreeObj* a, int dir) {
  OSBTreeObj* b = a->link[dir];
  OSBTreeObj* moved = b->link[1 - dir];
  a->link[dir] = moved;
  if (moved != nullptr) moved->link[kParent] = a;
  b->link[1 - dir] = a;
  b->link[kParent] = a->link[kParent];
  a->link[kParent] = b;
  return b;
}

// Restores the balance of `a`, which leans towards `dir` and whose `dir`
// subtree has just grown one level too high. Returns the new root of the
// subtree; `height_kept` tells whether the subtree is as high as before the
// growth (only possible when the heavy child was itself balanced, which
// happens after a deletion).
OSBTreeObj* Rebalance(OSBTreeObj* a, int dir, bool* height_kept) {
  const int8_t d = Lean(dir);
  OSBTreeObj* b = a->link[dir];
  if (b->balance == -d) {
    OSBTreeObj* c = b->link[1 - dir];
    a->balance = c->balance == d ? -d : 0;
    b->balance = c->balance == -d ? d : 0;
    c->balance = 0;
    a->link[dir] = RotateUp(b, 1 - dir);
    *height_kept = false;
    return RotateUp(a, dir);
  }
  *height_kept = b->balance == 0;
  if (*height_kept) {
    a->balance = d;
    b->balance = -d;
  } else {
    a->balance = 0;
    b->balance = 0;
  }
  return RotateUp(a, dir);
}

void ClearLinks(OSBTreeObj* item) {
  item->link[kLeft] = item->link[kRight] = item->link[kParent] = nullptr;
  item->dupprev = item->dupnext = nullptr;
  item->balance = 0;
}

}  // namespace

OSBTreeObj::OSBTreeObj()
    : link{nullptr, nullptr, nullptr},
      balance(0),
      cache(0),
      dupprev(nullptr),
      dupnext(nullptr) {}

OSBTreeObj::~OSBTreeObj() = default;

int OSBTreeObj::Compare(OSBTreeObj* /*other*/) { return 0; }

int OSBTreeObj::CompareLeft(OSBTreeObj* /*other*/) { return 0; }

int OSBTreeObj::CompareAmbiguous(OSBTreeObj* /*other*/, int /*len*/) {
  return 0;
}

int OSBTreeObj::CompareMaxLen() { return 0; }

OSBTree::OSBTree() : count(0), size(0) { InitializeCriticalSection(&cs); }

OSBTree::~OSBTree() {
  {
    CriticalSectionLock lock(&cs);
    while (root.link[kLeft] != nullptr) {
      OSBTreeObj* top = root.link[kLeft];
      Unlink(top);
      delete top;
    }
  }
  DeleteCriticalSection(&cs);
}

int OSBTree::Size() { return size; }

BOOL OSBTree::Add(OSBTreeObj* item) {
  CriticalSectionLock lock(&cs);
  ClearLinks(item);
  OSBTreeObj* top = root.link[kLeft];
  if (top == nullptr) {
    root.link[kLeft] = item;
    size++;
    return TRUE;
  }

  // Descend, noting in each node's cache the way taken, and remember the
  // deepest node that leans: only the path below it can change balance.
  OSBTreeObj* pivot = top;
  OSBTreeObj* p = top;
  for (;;) {
    int c = item->Compare(p);
    if (c == 0) {
      item->dupprev = p;
      item->dupnext = p->dupnext;
      if (p->dupnext != nullptr) p->dupnext->dupprev = item;
      p->dupnext = item;
      size++;
      return TRUE;
    }
    p->cache = c > 0 ? kRight : kLeft;
    OSBTreeObj* next = p->link[p->cache];
    if (next == nullptr) break;
    if (next->balance != 0) pivot = next;
    p = next;
  }
  p->link[p->cache] = item;
  item->link[kParent] = p;
  size++;

  // Every node between the pivot and the new leaf was balanced and now leans
  // towards the leaf.
  for (OSBTreeObj* n = pivot->link[pivot->cache]; n != item;
       n = n->link[n->cache]) {
    n->balance = Lean(n->cache);
  }
  const int8_t d = Lean(pivot->cache);
  if (pivot->balance != d) {
    pivot->balance += d;
    return TRUE;
  }
  OSBTreeObj* parent = pivot->link[kParent];
  bool height_kept;
  Replace(parent, pivot, Rebalance(pivot, pivot->cache, &height_kept));
  return TRUE;
}

void OSBTree::Remove(OSBTreeObj* item) {
  CriticalSectionLock lock(&cs);
  int comparisons = 0;  // not a search: `count` keeps the last search's
  OSBTreeObj* p = Descend(root.link[kLeft], KeyOrder(item), &comparisons);
  if (p == nullptr) return;

  // An object of equal key is not necessarily `item`: only take out what
  // this tree really holds.
  OSBTreeObj* head = item;
  while (head->dupprev != nullptr) head = head->dupprev;
  if (head != p) return;
  Unlink(item);
}

OSBTreeObj* OSBTree::Find(OSBTreeObj* probe) {
  CriticalSectionLock lock(&cs);
  count = 0;
  return Descend(root.link[kLeft], KeyOrder(probe), &count);
}

OSBTreeObj* OSBTree::FindLE(OSBTreeObj* probe) {
  return FindNearest(probe, kRight);
}

OSBTreeObj* OSBTree::FindGE(OSBTreeObj* probe) {
  return FindNearest(probe, kLeft);
}

OSBTreeObj* OSBTree::FindLeft(OSBTreeObj* probe) {
  CriticalSectionLock lock(&cs);
  count = 0;
  auto run_order = [probe](OSBTreeObj* node) {
    return probe->CompareLeft(node);
  };
  OSBTreeObj* candidate = Descend(root.link[kLeft], run_order, &count);
  if (candidate == nullptr) return nullptr;

  // The matching run is contiguous, so the left-most match lies on the way
  // down the left subtree: matches go further left, nodes before the run
  // send the walk right.
  OSBTreeObj* n = candidate->link[kLeft];
  while (n != nullptr) {
    count++;
    const int c = run_order(n);
    if (c < 0) break;
    if (c == 0) {
      candidate = n;
      n = n->link[kLeft];
    } else {
      n = n->link[kRight];
    }
  }
  return candidate;
}

OSBTreeObj* OSBTree::FindAmbiguous(OSBTreeObj* probe) {
  static std::atomic<int> max_ambig_count{0};

  OSBTreeObj* found = nullptr;
  int comparisons = 0;
  {
    CriticalSectionLock lock(&cs);
    const int n = probe->CompareMaxLen();
    for (int len = n; len > 0 && found == nullptr; len--) {
      auto prefix_order = [probe, len](OSBTreeObj* node) {
        return probe->CompareAmbiguous(node, len);
      };
      found = Descend(root.link[kLeft], prefix_order, &comparisons);
    }
    count = comparisons;
  }

  int seen = max_ambig_count.load();
  while (comparisons > seen &&
         !max_ambig_count.compare_exchange_weak(seen, comparisons)) {
  }
  if (comparisons > seen && Console != nullptr) {
    Console->Print("OSBTree::FindAmbiguous maxcount=%d", comparisons);
  }
  return found;
}

OSBTreeObj* OSBTree::First() {
  CriticalSectionLock lock(&cs);
  OSBTreeObj* top = root.link[kLeft];
  return top == nullptr ? nullptr : Extreme(top, kLeft);
}

OSBTreeObj* OSBTree::Last() {
  CriticalSectionLock lock(&cs);
  OSBTreeObj* top = root.link[kLeft];
  return top == nullptr ? nullptr : Extreme(top, kRight);
}

OSBTreeObj* OSBTree::Next(OSBTreeObj* x, OSBTreeObj* match) {
  return Step(x, match, &OSBTreeObj::Compare);
}

OSBTreeObj* OSBTree::NextLeft(OSBTreeObj* x, OSBTreeObj* match) {
  return Step(x, match, &OSBTreeObj::CompareLeft);
}

OSBTreeObj* OSBTree::Previous(OSBTreeObj* x) {
  CriticalSectionLock lock(&cs);
  if (x->dupprev != nullptr) return x->dupprev;
  OSBTreeObj* n = Neighbour(x, kLeft);
  if (n == nullptr) return nullptr;
  while (n->dupnext != nullptr) n = n->dupnext;
  return n;
}

// Next and NextLeft: the next duplicate, or the next key's tree node when
// `match` (if any) compares equal to it under `compare`.
OSBTreeObj* OSBTree::Step(OSBTreeObj* x, OSBTreeObj* match, CompareFn compare) {
  OSBTreeObj* successor;
  {
    CriticalSectionLock lock(&cs);
    if (x->dupnext != nullptr) return x->dupnext;
    OSBTreeObj* head = x;
    while (head->dupprev != nullptr) head = head->dupprev;
    successor = Neighbour(head, kRight);
  }
  if (match != nullptr && successor != nullptr &&
      (match->*compare)(successor) != 0) {
    return nullptr;
  }
  return successor;
}

// FindLE (remembering where the search went right) and FindGE (where it went
// left): an equal key at once, else the last remembered node.
OSBTreeObj* OSBTree::FindNearest(OSBTreeObj* probe, int remembered_dir) {
  CriticalSectionLock lock(&cs);
  count = 0;
  OSBTreeObj* passed[2] = {nullptr, nullptr};
  OSBTreeObj* equal =
      Descend(root.link[kLeft], KeyOrder(probe), &count, passed);
  return equal != nullptr ? equal : passed[remembered_dir];
}

// Takes `item`, known to be held by this tree, out of it and clears its
// links. size - 1.
void OSBTree::Unlink(OSBTreeObj* item) {
  size--;
  if (item->dupprev != nullptr) {
    item->dupprev->dupnext = item->dupnext;
    if (item->dupnext != nullptr) item->dupnext->dupprev = item->dupprev;
  } else if (item->dupnext != nullptr) {
    // The next duplicate becomes the tree node in the head's place.
    OSBTreeObj* next = item->dupnext;
    next->dupprev = nullptr;
    next->balance = item->balance;
    for (int dir = kLeft; dir <= kRight; dir++) {
      next->link[dir] = item->link[dir];
      if (next->link[dir] != nullptr) next->link[dir]->link[kParent] = next;
    }
    next->link[kParent] = item->link[kParent];
    Replace(item->link[kParent], item, next);
  } else {
    DeleteNode(item);
  }
  ClearLinks(item);
}

// AVL deletion of tree node `p`, which has no duplicates.
void OSBTree::DeleteNode(OSBTreeObj* p) {
  OSBTreeObj* parent = p->link[kParent];
  if (p->link[kLeft] == nullptr || p->link[kRight] == nullptr) {
    OSBTreeObj* child =
        p->link[kLeft] != nullptr ? p->link[kLeft] : p->link[kRight];
    if (child != nullptr) child->link[kParent] = parent;
    if (parent == nullptr) {
      root.link[kLeft] = child;
      return;
    }
    int side = parent->link[kRight] == p ? kRight : kLeft;
    parent->link[side] = child;
    Retrace(parent, side);
    return;
  }

  // Two children: the in-order successor s (left-most of the right subtree)
  // leaves its place to its right child and takes p's place.
  OSBTreeObj* s = Extreme(p->link[kRight], kLeft);
  OSBTreeObj* shrunk;
  int side;
  if (s == p->link[kRight]) {
    shrunk = s;
    side = kRight;
  } else {
    shrunk = s->link[kParent];
    side = kLeft;
    shrunk->link[kLeft] = s->link[kRight];
    if (s->link[kRight] != nullptr) s->link[kRight]->link[kParent] = shrunk;
    s->link[kRight] = p->link[kRight];
    s->link[kRight]->link[kParent] = s;
  }
  s->link[kLeft] = p->link[kLeft];
  s->link[kLeft]->link[kParent] = s;
  s->link[kParent] = parent;
  s->balance = p->balance;
  Replace(parent, p, s);
  Retrace(shrunk, side);
}

// Walks up from `n`, whose `dir` subtree has become one level lower, fixing
// balances and rotating until a subtree keeps its height.
void OSBTree::Retrace(OSBTreeObj* n, int dir) {
  while (n != nullptr) {
    const int8_t d = Lean(dir);
    OSBTreeObj* parent = n->link[kParent];
    int side = parent != nullptr && parent->link[kRight] == n ? kRight : kLeft;
    if (n->balance == 0) {
      n->balance = -d;
      return;
    }
    if (n->balance == d) {
      n->balance = 0;
    } else {
      bool height_kept;
      Replace(parent, n, Rebalance(n, 1 - dir, &height_kept));
      if (height_kept) return;
    }
    n = parent;
    dir = side;
  }
}

// Hangs `new_child` where `old_child` was below `parent` (null: the top).
void OSBTree::Replace(OSBTreeObj* parent, OSBTreeObj* old_child,
                      OSBTreeObj* new_child) {
  if (parent == nullptr) {
    root.link[kLeft] = new_child;
  } else {
    parent->link[parent->link[kRight] == old_child ? kRight : kLeft] =
        new_child;
  }
}
