// A typed face over OSIndirectList for lists whose elements all share one
// type: range-for iteration, typed access, removal by predicate and sorting
// through the kernel's search tree.
//
// OSTypedList<T> adds no data to OSIndirectList, so memory layout, pool links
// and ownership (delete_on_destroy) are exactly those of the base list. Only
// objects of type T (or derived from it) may be put into it; the typed
// accessors cast without checking.
//
// Thread safety: none beyond OSIndirectList's; the owner serialises access.
#ifndef KERNEL_OSTYPEDLIST_H_
#define KERNEL_OSTYPEDLIST_H_

#include <iterator>

#include "kernel/OSBTree.h"
#include "kernel/OSList.h"

template <typename T>
class OSTypedList : public OSIndirectList {
 public:
  // Walks the list from the front. The link after the current one is read
  // before the current element is handed out, so the loop body may remove
  // (or delete) the element it was given, but no other.
  class iterator {
   public:
    using iterator_category = std::forward_iterator_tag;
    using value_type = T*;
    using difference_type = std::ptrdiff_t;
    using pointer = T**;
    using reference = T*;

    iterator(OSLink* at, OSLink* head) : link(at), after(at->next), end(head) {}
    T* operator*() const { return ElementOf(link); }
    iterator& operator++() {
      link = after;
      after = link == end ? link : link->next;
      return *this;
    }
    bool operator==(const iterator& other) const { return link == other.link; }
    bool operator!=(const iterator& other) const { return link != other.link; }

   private:
    OSLink* link;   // the current link; the head at the end
    OSLink* after;  // the link that follows it, read in advance
    OSLink* end;    // the list head
  };

  explicit OSTypedList(char delete_on_destroy = 0)
      : OSIndirectList(delete_on_destroy) {}

  iterator begin() { return iterator(next, this); }
  iterator end() { return iterator(this, this); }

  // First and last element, the element at position `i`, the first element
  // whose IsKey(key) is true; null when there is none.
  T* First() { return static_cast<T*>(FirstObject()); }
  T* Last() { return static_cast<T*>(LastObject()); }
  T* At(int i) { return static_cast<T*>((*this)[i]); }
  T* FindKey(const char* key) {
    return static_cast<T*>(Find(const_cast<char*>(key)));
  }

  // Takes out every element for which `pred(element)` is true, in list
  // order, deleting it when the list owns its contents. Returns how many
  // were taken out.
  template <typename Pred>
  int RemoveIf(Pred pred) {
    int removed = 0;
    for (OSLink *link = next, *after; link != this; link = after) {
      after = link->next;
      T* element = ElementOf(link);
      if (!pred(element)) continue;
      OSLinkList::Remove(link);
      link->Free();
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
  static T* ElementOf(OSLink* link) {
    return static_cast<T*>(static_cast<OSListObj*>(link->object));
  }
};

#endif  // KERNEL_OSTYPEDLIST_H_
