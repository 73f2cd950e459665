// Intrusive, circular, doubly linked lists: the kernel's only collection.
//
// A list head is itself an OSLink. An element either is its own link (it
// derives from OSLinkListObj) or is carried by a link taken from the
// process-wide link pool (OSIndirectList). Conventions every class here keeps:
//   - an empty head, and a link that is in no list, point to themselves both
//     ways;
//   - a link is "in a list" exactly when its `object` is non-null; for an
//     OSLinkListObj the carried object is its own OSListObj part;
//   - a free pool link carries itself and has `isFree` set.
// Misuse (a link put into a second list, a pool link freed twice, a link that
// is not from the pool, a corrupt indirect list, no memory for links) ends the
// process through Console->Fatal.
//
// The pool finds the block of a link by binary search over its blocks sorted
// by address, so Alloc, Free and Validate cost O(log blocks) however large
// the pool has grown. A block's links are constructed as they are first
// handed out, so a block that is never used costs address space only.
//
// Thread safety: the link pool (Alloc, Free, GrowLinks, Validate) is guarded
// by OS_CRITICAL_LINK. Lists themselves are not locked: their owner
// serialises access, except OSProtectedList, which takes its own lock around
// each operation and the pool lock inside it (list lock first, pool lock
// second).
#ifndef KERNEL_OSLIST_H_
#define KERNEL_OSLIST_H_

#include <cstddef>
#include <cstdint>

#include "kernel/OSCriticalSection.h"
#include "kernel/OSListObj.h"

class OSLink {
 public:
  // A link in no list: pointing at itself, carrying nothing.
  OSLink();
  // A copy is a fresh link in no list; list membership is never copied.
  OSLink(const OSLink&);
  OSLink& operator=(const OSLink&) { return *this; }
  // Removes the link from its list, if it is in one.
  virtual ~OSLink();

  // Treating this link as a head: takes every element off the list and calls
  // its Free(), until the list is empty.
  virtual void Flush();
  // Gives a pool link back to the pool. Fatal ("OSLink::Free already free")
  // for a link that is already free and ("OSLink::Free corrupt link") for a
  // link that does not come from the pool. A link still in a list is taken
  // out of it first.
  virtual void Free();

  // Takes the link out of its list when it is in one: clears `object`, joins
  // its neighbours and points the link at itself. Otherwise does nothing.
  void Remove() {
    if (object != nullptr && next != this) Detach();
  }

  // Treating this link as a head: the number of elements; the zero-based
  // position of the first element carrying `obj`, or -1; the object carried
  // at position `i`, or null when there is no such position.
  int ListLength();
  int PosInList(void* obj);
  void* operator[](int i);

  // True when this link is one of the pool's links: it lies, on a link
  // boundary, inside one of the pool's memory blocks, in the part already
  // handed out at least once.
  bool Validate();

  // The link pool. Initialise sets up OS_CRITICAL_LINK, the free list and the
  // first block of KERNELCFG->link_qty links (called by os_startup; a second
  // call does nothing). GrowLinks adds another block of that many links;
  // fatal ("OSLink::Alloc Out Of links") when memory runs out.
  // UnInitialise releases every block; Initialise may run again afterwards.
  static void Initialise();
  static void GrowLinks();
  static void UnInitialise();
  // Takes a free link from the pool: a recycled one when there is one, else
  // the next unused link of the newest block, growing the pool by a block
  // when that is used up. The link is in no list and carries nothing. Fatal
  // ("OSLink::Alloc link already allocated", "OSLink::Alloc corrupt link")
  // when the free list is found corrupt. Initialises the pool on first use.
  static OSLink* Alloc();

  OSLink* next;      // next element; for a head, the first element
  OSLink* previous;  // previous element; for a head, the last element
  void* object;      // the carried object; null when in no list
  bool isFree;       // set while the link waits in the pool

  static OSLink* link_pool;   // head of the recycled free pool links
  static int link_pool_size;  // free pool links, unused room included
  static void* link_mem;      // newest pool block (blocks are chained)
  static int link_block_qty;  // links per block, fixed at Initialise
  static int link_room;       // links of the newest block never handed out

  // Low-level ring operations for list classes; they neither check nor
  // count anything. Detach takes the link out of whatever ring it is in,
  // unconditionally, and leaves it carrying nothing.
  void Detach() {
    next->previous = previous;
    previous->next = next;
    next = previous = this;
    object = nullptr;
  }
  // LinkBefore puts this link just before `at`, carrying `obj`; the caller
  // has checked that the link is in no list.
  void LinkBefore(OSLink* at, void* obj) {
    object = obj;
    next = at;
    previous = at->previous;
    at->previous->next = this;
    at->previous = this;
  }

 private:
  // Constructs and returns the next unused link of the newest block (in no
  // list, not free), growing the pool first when that block is used up. The
  // caller holds OS_CRITICAL_LINK.
  static OSLink* Carve();
};

// A link carved from the pool's memory. Pool links are created only by
// GrowLinks and released with their block; deleting one releases nothing.
class OSLink2 : public OSLink {
 public:
  OSLink2() = default;
  ~OSLink2() override = default;
  static void* operator new(std::size_t, void* where) { return where; }
  static void operator delete(void*) {}
};

// A list head that can own its elements.
class OSLinkHead : public OSLink {
 public:
  explicit OSLinkHead(char delete_contents = 0);
  OSLinkHead(const OSLinkHead&) = delete;
  OSLinkHead& operator=(const OSLinkHead&) = delete;
  // Deletes every remaining element when delete_contents_on_destroy is set;
  // otherwise takes the remaining elements out of the list, so that none is
  // left pointing at a head that no longer exists.
  ~OSLinkHead() override;

  void SetDeleteContents(char delete_contents) {
    delete_contents_on_destroy = delete_contents;
  }

  char delete_contents_on_destroy;  // the list owns (deletes) its elements
};

// An object that is its own list link.
class OSLinkListObj : public OSLink, public OSListObj {
 public:
  OSLinkListObj() = default;
  ~OSLinkListObj() override = default;
};

// A counted list of links, each carrying an OSListObj.
class OSLinkList : public OSLinkHead {
 public:
  explicit OSLinkList(char delete_contents_on_destroy = 0);
  ~OSLinkList() override;

  // Adds `link` at the end, carrying `obj`. Fatal
  // ("OSLinkList::Append of link that is already in a list") when `link` is
  // in a list. A null `obj` adds nothing.
  void Append(OSLink* link, OSListObj* obj);
  // The same for an object that is its own link. Fatal
  // ("OSLinkList::Append Obj of link that is already in a list").
  void Append(OSLinkListObj* obj);
  // Add at the front; fatal ("OSLinkList::Insert of link that is already in
  // a list", "OSLinkList::Insert Obj of link that is already in a list").
  void Insert(OSLink* link, OSListObj* obj);
  void Insert(OSLinkListObj* obj);
  // Adds `link` just before `at` (at the end when `at` is null), carrying
  // `obj`'s OSListObj part. Fatal
  // ("OSLinkList::InsertAt of link that is already in a list").
  void InsertAt(OSLink* at, OSLink* link, OSLinkListObj* obj);
  // Takes `link` out of this list. A link that carries nothing is left alone.
  void Remove(OSLink* link);

  // Takes every element out. An owning list deletes them; any other list
  // calls each element's Free() (see OSLink::Flush). The count becomes 0.
  void Flush() override;

  // Walks from the front to the first element whose IsKey(s) is true and
  // fills each output that is given with it, its link and its zero-based
  // position. Returns false, with null, null and -1, when none matches.
  virtual bool Lookup(char* s, OSListObj** objp, OSLink** linkp, int* indexp);
  // Position of the first element matching `s`, or -1.
  int Search(char* s);
  // First element matching `s`, or null.
  OSListObj* Find(char* s);

  int Size() const { return number_in_list; }
  // First and last element, or null when the list is empty.
  OSListObj* FirstObject();
  OSListObj* LastObject();
  // Changes so far: every append, insert and remove adds one; Flush does not.
  uint32_t Signature() const { return signature; }
  // Zero-based position of `obj`, or -1.
  int PosInList(OSListObj* obj);
  // Element at position `i`, or null.
  OSListObj* operator[](int i);

  int number_in_list;  // element count
  uint32_t signature;  // modification counter

 protected:
  // Adds `link` before `at` carrying `obj`, counting the change; fatal with
  // `msg` when `link` is already in a list.
  void Link(OSLink* at, OSLink* link, OSListObj* obj, const char* msg);
};

// A list of arbitrary OSListObj pointers, each carried by a pool link. With
// delete_on_destroy set the list owns its objects and deletes them on Flush
// and destruction.
class OSIndirectList : public OSLinkList {
 public:
  explicit OSIndirectList(char delete_on_destroy = 0);
  // Flush(), then the list's own destruction.
  ~OSIndirectList() override;

  // Add `obj` at the end or at the front, carried by a new pool link, and
  // return that link. A null `obj` adds nothing and returns null.
  OSLink* Append(OSListObj* obj);
  OSLink* Insert(OSListObj* obj);
  // Adds `obj` just after `atobj`, or at the end when `atobj` is not in the
  // list. Null when either is null (nothing added), else the new link.
  OSLink* InsertAt(OSListObj* atobj, OSListObj* obj);
  // Adds `obj` just before `atobj`, or at the front when `atobj` is not in
  // the list. Null when either is null, else the new link.
  OSLink* InsertBefore(OSListObj* atobj, OSListObj* obj);
  // Takes the first occurrence of `obj` out and returns its link to the
  // pool; the object itself is untouched. An absent object is ignored.
  void Remove(OSListObj* obj);
  // Empties the list, deleting the objects when the list owns them, and
  // returns every link to the pool.
  void Flush() override;
  // Checks that every link lies in the pool and is in use, and that the
  // number of links equals number_in_list. Fatal otherwise
  // ("OSIndirectList %p corrupted @%p size=%d count=%d in %s",
  // "OSIndirectList %p incorrect length size=%d count=%d in %s"); `msg`
  // names the caller in the message.
  void Validate(char* msg);

 protected:
  // The link carrying `obj`, or null.
  OSLink* LinkOf(OSListObj* obj);
  // Takes a pool link and adds it before `at` carrying `obj`.
  OSLink* AddBefore(OSLink* at, OSListObj* obj);
};

// Walks a list from the front. Removing the element just returned by Next()
// is safe; removing others during the walk is not.
class OSLinkIterator {
 public:
  explicit OSLinkIterator(OSLink* head = nullptr) { Init(head); }
  // Restarts at the first element of `head`.
  void Init(OSLink* head) {
    start = head;
    current = head != nullptr ? head->next : nullptr;
  }
  // The object carried by the current element, moving on to the next one;
  // null at the end of the list (the walk stays there).
  void* Next();
  // Makes position `i` the current element, or the end when the list is
  // shorter (or `i` is negative).
  void Goto(int i);
  // The object at position `i`, or null; the walk continues after it.
  void* operator[](int i);

 protected:
  OSLink* start;    // the list head
  OSLink* current;  // the next link to visit; `start` at the end
};

// An iterator over an OSLinkList yielding its OSListObj elements.
class OSListIterator : public OSLinkIterator {
 public:
  explicit OSListIterator(OSLinkList* list = nullptr) : OSLinkIterator(list) {}
  void Init(OSLinkList* list) { OSLinkIterator::Init(list); }
  OSListObj* Next() { return static_cast<OSListObj*>(OSLinkIterator::Next()); }
  OSListObj* operator[](int i) {
    return static_cast<OSListObj*>(OSLinkIterator::operator[](i));
  }
};

// An indirect list (never owning its objects) whose operations run under its
// own lock, so that several threads may share it. Lock order: this list's
// lock, then OS_CRITICAL_LINK.
//
// The indirect list is a private base: an OSProtectedList does not convert to
// OSIndirectList or OSLinkList, so no caller can reach an unlocked operation
// through a base reference. Only the operations below are offered.
class OSProtectedList : private OSIndirectList {
 public:
  OSProtectedList();
  ~OSProtectedList() override;

  OSLink* Append(OSListObj* obj);
  OSLink* Insert(OSListObj* obj);
  OSLink* InsertAt(OSListObj* atobj, OSListObj* obj);
  OSLink* InsertBefore(OSListObj* atobj, OSListObj* obj);
  void Remove(OSListObj* obj);
  void Flush() override;
  OSListObj* FirstObject();
  OSListObj* LastObject();
  // Keyed lookups (and so Find and Search) also run under the lock.
  bool Lookup(char* s, OSListObj** objp, OSLink** linkp, int* indexp) override;
  using OSLinkList::Find;
  using OSLinkList::Search;
  // The element count and the change counter, read under the lock.
  int Size();
  uint32_t Signature();
  // OSIndirectList::Validate under the lock.
  void Validate(char* msg);

 private:
  CRITICAL_SECTION cs;  // guards the list
};

#endif  // KERNEL_OSLIST_H_
