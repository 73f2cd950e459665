// A typed list: an OSIndirectList whose elements all share one type T, with
// typed Append/Insert/Remove, range-for iteration (also over a const list),
// removal by predicate and sorting through the kernel's search tree.
//
// OSTypedList<T> adds no data to OSIndirectList, so memory layout, pool links
// and ownership (delete_on_destroy) are exactly those of the base list. The
// base is private: only objects of type T (or derived from it) can be put
// into the list, so the typed accessors' conversions always hold.
//
// Loops and removal: every removal (Remove, RemoveIf, Flush) first moves
// each running loop over the list that stands on the removed element back to
// the element before it, so a loop body may remove or delete any element,
// the current one, the next one or all of them, and the loop goes on with the
// element that now follows. Elements added during a loop may or may not be
// visited.
//
// Thread safety: none beyond OSIndirectList's; the owner serialises access.
// Running loops are tracked per thread, so a loop only sees the removals of
// its own thread: lists shared between threads are used under their owner's
// lock, loops included.
#ifndef KERNEL_OSTYPEDLIST_H_
#define KERNEL_OSTYPEDLIST_H_

#include <cstddef>
#include <iterator>

#include "kernel/OSBTree.h"
#include "kernel/OSList.h"

// The position of a running loop over a list: the link it stands on. Each
// position registers itself, for its lifetime, in a chain of the current
// thread, so that a list can move the positions away from a link before it
// takes that link out. A cursor is destroyed by the thread that made it.
class OSListCursor {
 public:
  OSListCursor(const OSLink* head, const OSLink* at);
  OSListCursor(const OSListCursor& other);
  OSListCursor& operator=(const OSListCursor& other);
  ~OSListCursor();

  bool operator==(const OSListCursor& other) const {
    return link == other.link;
  }
  bool operator!=(const OSListCursor& other) const {
    return link != other.link;
  }

  // Called by a list before it takes `link` out of the list headed by
  // `head`: every cursor of this thread standing on it moves to the link
  // before it, so its next step reaches the link that will follow.
  static void Unlinking(const OSLink* head, const OSLink* link);
  // Called by a list before it takes every element out: every cursor of
  // this thread on that list moves to the head, the end of a walk.
  static void Emptying(const OSLink* head);

 protected:
  const OSLink* link;  // the element stood on; the head at the end

 private:
  void Register();
  void Unregister();

  const OSLink* head;     // the list walked
  OSListCursor* older;    // the cursor registered before this one
  OSListCursor* younger;  // the cursor registered after this one

  static thread_local OSListCursor* youngest;  // this thread's chain
};

template <typename T>
class OSTypedList : private OSIndirectList {
 public:
  // Walks the list from the front, yielding Element* (T or const T).
  template <typename Element>
  class Iterator : public OSListCursor {
   public:
    using iterator_category = std::forward_iterator_tag;
    using value_type = Element*;
    using difference_type = std::ptrdiff_t;
    using pointer = Element**;
    using reference = Element*;

    Iterator(const OSLink* head, const OSLink* at) : OSListCursor(head, at) {}
    Element* operator*() const { return ElementOf(link); }
    Iterator& operator++() {
      link = link->next;
      return *this;
    }
  };
  using iterator = Iterator<T>;
  using const_iterator = Iterator<const T>;

  explicit OSTypedList(char delete_on_destroy = 0)
      : OSIndirectList(delete_on_destroy) {}

  iterator begin() { return iterator(this, next); }
  iterator end() { return iterator(this, this); }
  const_iterator begin() const { return const_iterator(this, next); }
  const_iterator end() const { return const_iterator(this, this); }

  // Add `element` at the end or at the front; a null element adds nothing.
  void Append(T* element) { OSIndirectList::Append(element); }
  void Insert(T* element) { OSIndirectList::Insert(element); }
  // Takes the first occurrence of `element` out; the element itself is
  // untouched. An absent element is ignored.
  void Remove(T* element) {
    if (OSLink* link = LinkOf(element)) Unlink(link);
  }
  // Takes every element out, deleting them when the list owns them.
  void Flush() override {
    OSListCursor::Emptying(this);
    OSIndirectList::Flush();
  }

  // Forgets every element without touching it or its link: for a list whose
  // pool links went with the link pool (OSLink::UnInitialise).
  void Abandon() {
    OSListCursor::Emptying(this);
    next = previous = this;
    number_in_list = 0;
  }

  int Size() const { return number_in_list; }
  using OSIndirectList::Validate;

  // First and last element, the element at position `i`, the first element
  // whose IsKey(key) is true; null when there is none.
  T* First() { return ElementOf(next); }
  T* Last() { return ElementOf(previous); }
  T* At(int i) { return static_cast<T*>((*this)[i]); }
  T* FindKey(const char* key) {
    return static_cast<T*>(Find(const_cast<char*>(key)));
  }
  // Zero-based position of `element`, or -1.
  int PosInList(T* element) { return OSLinkList::PosInList(element); }

  // Takes out every element for which `pred(element)` is true, in list
  // order, deleting it when the list owns its contents. Returns how many
  // were taken out.
  template <typename Pred>
  int RemoveIf(Pred pred) {
    int removed = 0;
    for (T* element : *this) {
      if (!pred(element)) continue;
      Remove(element);
      if (delete_contents_on_destroy) delete element;
      ++removed;
    }
    return removed;
  }

  // Reorders the list through a temporary OSBTree: every element, in list
  // order, is taken out and entered under the index object
  // `make_index(element)` (a new Index, which the tree deletes); the
  // elements are then appended back in the tree's order, found through the
  // index's member `element_of`. Elements with equal keys come back as the
  // tree holds them: the first, then the others from the last to the second.
  template <typename Index, typename MakeIndex>
  void SortBy(T* Index::*element_of, MakeIndex make_index) {
    OSBTree tree;
    while (T* element = First()) {
      Remove(element);
      tree.Add(make_index(element));
    }
    for (OSBTreeObj* x = tree.First(); x != nullptr; x = tree.Next(x)) {
      Append(static_cast<Index*>(x)->*element_of);
    }
  }

 private:
  // The element carried by `link`; null for the head, which carries none.
  static T* ElementOf(const OSLink* link) {
    return static_cast<T*>(static_cast<OSListObj*>(link->object));
  }

  // Takes `link` out of the list and gives it back to the pool, after
  // moving the running loops off it.
  void Unlink(OSLink* link) {
    OSListCursor::Unlinking(this, link);
    OSLinkList::Remove(link);
    link->Free();
  }
};

#endif  // KERNEL_OSTYPEDLIST_H_
