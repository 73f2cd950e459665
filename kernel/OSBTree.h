// The kernel's ordered index: a height-balanced (AVL) binary search tree of
// objects derived from OSBTreeObj, ordered by the objects' own comparisons.
//
// Objects with equal keys are all kept: the first one inserted is the tree
// node of its key and the others hang off it in a duplicate chain, most
// recently inserted first. A run of equal keys therefore reads as: the first
// inserted, then the others from the most recent to the earliest.
//
// Thread safety: every operation except Size() takes the tree's own recursive
// lock. Next, NextLeft and FindAmbiguous make their final comparison or report
// after releasing it. An object's key must not change while it is in a tree.
#ifndef KERNEL_OSBTREE_H_
#define KERNEL_OSBTREE_H_

#include <cstdint>

#include "kernel/OSCriticalSection.h"
#include "kernel/OSTypes.h"

// An object that can be held by an OSBTree. Classes whose objects go into a
// tree override all four comparisons. Each comparison is asked of the probe
// (or the object being inserted) with a tree node as `other` and answers
// negative when the probe sorts before `other`, 0 when equal, positive after.
class OSBTreeObj {
 public:
  OSBTreeObj();
  virtual ~OSBTreeObj();
  OSBTreeObj(const OSBTreeObj&) = delete;
  OSBTreeObj& operator=(const OSBTreeObj&) = delete;

  // The key order used by Add, Remove, Find, FindLE, FindGE and Next.
  // The base object compares equal to everything.
  virtual int Compare(OSBTreeObj* other);
  // A coarser order for FindLeft/NextLeft: the objects that compare 0 with a
  // probe must form one contiguous run in Compare order. Base: 0.
  virtual int CompareLeft(OSBTreeObj* other);
  // Compare using only the first `len` significant units of the probe's key
  // (FindAmbiguous). Base: 0.
  virtual int CompareAmbiguous(OSBTreeObj* other, int len);
  // The longest significant key length FindAmbiguous tries. Base: 0.
  virtual int CompareMaxLen();

  // Tree links maintained by OSBTree; all null while the object is not in a
  // tree. Read-only for everybody else.
  OSBTreeObj* link[3];  // left child, right child, parent (null at the top)
  int8_t balance;       // height of right subtree minus left: -1, 0 or +1
  UBYTE cache;          // direction last taken here by Add: 0 left, 1 right
  OSBTreeObj* dupprev;  // previous object of the duplicate chain; null for
                        // the tree node heading the chain
  OSBTreeObj* dupnext;  // next object of the duplicate chain, or null
};

// The tree owns the objects it holds: its destructor deletes every one of
// them, duplicates included. To index data without handing it over, put small
// index objects that point at the data into the tree.
//
// Pointers returned by the searches and the stepping functions stay valid
// while the object is in the tree.
class OSBTree {
 public:
  OSBTree();
  // Removes and deletes every held object (through its virtual destructor).
  virtual ~OSBTree();
  OSBTree(const OSBTree&) = delete;
  OSBTree& operator=(const OSBTree&) = delete;

  // The node with the greatest key not above `probe`'s (an equal key is
  // returned at once), or null when every key is above it. Sets `count`.
  virtual OSBTreeObj* FindLE(OSBTreeObj* probe);

  // Number of objects held, duplicates included. Takes no lock.
  int Size();

  // Inserts `item` (not null, not in any tree) and answers TRUE. An item
  // whose key is already present joins that key's duplicate chain directly
  // behind the tree node.
  BOOL Add(OSBTreeObj* item);

  // Takes `item` out of the tree without deleting it. Does nothing when
  // `item` is not held by this tree, even when an object of equal key is.
  void Remove(OSBTreeObj* item);

  // A tree node whose key equals `probe`'s (Compare 0), or null. Sets `count`.
  OSBTreeObj* Find(OSBTreeObj* probe);
  // The left-most tree node matching `probe` under CompareLeft, or null.
  // Sets `count`.
  OSBTreeObj* FindLeft(OSBTreeObj* probe);
  // Tries `probe` with CompareAmbiguous at lengths n, n-1, ..., 1 (n =
  // probe->CompareMaxLen()) and returns the first node that matches, or null.
  // `count` is the number of comparisons over all passes. When it is the
  // largest count of any call so far, the console reports it.
  OSBTreeObj* FindAmbiguous(OSBTreeObj* probe);
  // The node with the smallest key not below `probe`'s (an equal key is
  // returned at once), or null when every key is below it. Sets `count`.
  OSBTreeObj* FindGE(OSBTreeObj* probe);

  // The left-most / right-most tree node (the head of its duplicate chain),
  // or null when the tree is empty. First() then Next() reads every object.
  // Last() then Previous() reads every object but the duplicates of the last
  // key: to include them, start from the end of Last()'s duplicate chain.
  OSBTreeObj* First();
  OSBTreeObj* Last();

  // The object after `x` in order, duplicates included, or null at the end.
  // The next duplicate of `x`'s chain is returned unconditionally; the first
  // object of the next key is returned only when `match` is null or compares
  // equal to it (Compare for Next, CompareLeft for NextLeft), else null.
  OSBTreeObj* Next(OSBTreeObj* x, OSBTreeObj* match = nullptr);
  OSBTreeObj* NextLeft(OSBTreeObj* x, OSBTreeObj* match = nullptr);
  // The object before `x`: the previous duplicate of its chain, else the last
  // object of the preceding key's chain; null at the start.
  OSBTreeObj* Previous(OSBTreeObj* x);

  int count;  // comparisons made by the last Find/FindLE/FindGE/FindLeft/
              // FindAmbiguous

 private:
  typedef int (OSBTreeObj::*CompareFn)(OSBTreeObj* other);

  OSBTreeObj* Step(OSBTreeObj* x, OSBTreeObj* match, CompareFn compare);
  OSBTreeObj* FindNearest(OSBTreeObj* probe, int remembered_dir);
  void Unlink(OSBTreeObj* item);
  void DeleteNode(OSBTreeObj* p);
  void Retrace(OSBTreeObj* n, int dir);
  void Replace(OSBTreeObj* parent, OSBTreeObj* old_child,
               OSBTreeObj* new_child);

  int size;             // objects held, duplicates included
  OSBTreeObj root;      // anchor: root.link[0] is the top node
  CRITICAL_SECTION cs;  // taken by every operation but Size
};

#endif  // KERNEL_OSBTREE_H_
