#include "kernel/OSList.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <new>

#include "kernel/OSConsole.h"
#include "kernel/OSKernel.h"

namespace {

// A pool block is one header word, the address of the previous (older)
// block, followed by link_block_qty links.
constexpr std::size_t kBlockHeader = sizeof(void*);
static_assert(alignof(OSLink2) <= kBlockHeader,
              "links must be aligned right after the block header");

void* PreviousBlock(void* block) { return *static_cast<void**>(block); }

OSLink2* FirstLinkIn(void* block) {
  return reinterpret_cast<OSLink2*>(static_cast<char*>(block) + kBlockHeader);
}

// Every block, sorted by address, so that the block holding an address is
// found by binary search. Guarded by OS_CRITICAL_LINK like the rest of the
// pool; plain malloc'd memory so that running out is reported as the pool's
// own fatal error.
void** block_index = nullptr;
int block_count = 0;
int block_capacity = 0;

// Enters `block` into block_index at its place; false when no memory.
bool IndexBlock(void* block) {
  if (block_count == block_capacity) {
    const int capacity = block_capacity > 0 ? 2 * block_capacity : 16;
    void* grown = std::realloc(block_index, sizeof(void*) * capacity);
    if (grown == nullptr) return false;
    block_index = static_cast<void**>(grown);
    block_capacity = capacity;
  }
  void** end = block_index + block_count;
  void** at =
      std::upper_bound(block_index, end, block, std::less<const void*>());
  std::copy_backward(at, end, end + 1);
  *at = block;
  block_count++;
  return true;
}

// The block whose start is the last one at or below `address`, or null.
void* BlockBelow(const void* address) {
  void** end = block_index + block_count;
  void** after =
      std::upper_bound(block_index, end, address, std::less<const void*>());
  return after == block_index ? nullptr : after[-1];
}

}  // namespace

OSLink* OSLink::link_pool = nullptr;
int OSLink::link_pool_size = 0;
void* OSLink::link_mem = nullptr;
int OSLink::link_block_qty = 0;
int OSLink::link_room = 0;

OSLink::OSLink() : next(this), previous(this), object(nullptr), isFree(false) {}

OSLink::OSLink(const OSLink&) : OSLink() {}

OSLink::~OSLink() { Remove(); }

void OSLink::Flush() {
  while (next != this) {
    OSLink* first = next;
    first->Detach();
    first->Free();
  }
}

void OSLink::Free() {
  CriticalSectionLock lock(&OS_CRITICAL_LINK);
  if (isFree) os_fatal("OSLink::Free already free");
  if (!Validate()) os_fatal("OSLink::Free corrupt link");
  // A link given back while still in a list would corrupt that list.
  Remove();
  isFree = true;
  link_pool_size++;
  LinkBefore(link_pool->next, this);
}

int OSLink::ListLength() {
  int count = 0;
  for (OSLink* l = next; l != this; l = l->next) count++;
  return count;
}

int OSLink::PosInList(void* obj) {
  int index = 0;
  for (OSLink* l = next; l != this; l = l->next, index++) {
    if (l->object == obj) return index;
  }
  return -1;
}

void* OSLink::operator[](int i) {
  if (i < 0) return nullptr;
  for (OSLink* l = next; l != this; l = l->next) {
    if (i-- == 0) return l->object;
  }
  return nullptr;
}

bool OSLink::Validate() {
  CriticalSectionLock lock(&OS_CRITICAL_LINK);
  void* block = BlockBelow(this);
  if (block == nullptr) return false;
  // Only the links of a block handed out so far exist; the rest of the
  // newest block is raw memory.
  const int used =
      block == link_mem ? link_block_qty - link_room : link_block_qty;
  const std::uintptr_t address = reinterpret_cast<std::uintptr_t>(this);
  const std::uintptr_t first =
      reinterpret_cast<std::uintptr_t>(FirstLinkIn(block));
  return address >= first && address < first + sizeof(OSLink2) * used &&
         (address - first) % sizeof(OSLink2) == 0;
}

void OSLink::Initialise() {
  if (link_pool != nullptr) return;
  InitializeCriticalSection(&OS_CRITICAL_LINK);
  CriticalSectionLock lock(&OS_CRITICAL_LINK);
  const KernelCfg* cfg = KERNELCFG != nullptr ? KERNELCFG : &default_cfg;
  link_block_qty = cfg->link_qty;
  link_pool = new OSLink;
  link_pool_size = 0;
  link_room = 0;
  GrowLinks();
}

void OSLink::GrowLinks() {
  if (link_pool == nullptr) {
    Initialise();  // which grows the pool by its first block
    return;
  }
  CriticalSectionLock lock(&OS_CRITICAL_LINK);
  // The unused room of the current newest block goes to the free list, so
  // that only the newest block is ever partly handed out.
  while (link_room > 0) Carve()->Free();
  void* block = nullptr;
  if (link_block_qty > 0) {
    block = std::malloc(kBlockHeader + sizeof(OSLink2) * link_block_qty);
  }
  if (block == nullptr || !IndexBlock(block)) {
    std::free(block);
    os_fatal("OSLink::Alloc Out Of links");
  }
  *static_cast<void**>(block) = link_mem;
  link_mem = block;
  link_room = link_block_qty;
  link_pool_size += link_block_qty;
}

OSLink* OSLink::Carve() {
  if (link_room == 0) GrowLinks();
  OSLink2* link =
      new (&FirstLinkIn(link_mem)[link_block_qty - link_room]) OSLink2;
  link_room--;
  link_pool_size--;
  return link;
}

void OSLink::UnInitialise() {
  CriticalSectionLock lock(&OS_CRITICAL_LINK);
  while (link_mem != nullptr) {
    void* older = PreviousBlock(link_mem);
    std::free(link_mem);
    link_mem = older;
  }
  std::free(block_index);
  block_index = nullptr;
  block_count = block_capacity = 0;
  if (link_pool != nullptr) {
    // Its neighbours went with the blocks.
    link_pool->next = link_pool->previous = link_pool;
    delete link_pool;
    link_pool = nullptr;
  }
  link_pool_size = 0;
  link_room = 0;
}

OSLink* OSLink::Alloc() {
  if (link_pool == nullptr) Initialise();
  CriticalSectionLock lock(&OS_CRITICAL_LINK);
  OSLink* link = link_pool->next;
  if (link == link_pool) return Carve();
  if (!link->isFree) os_fatal("OSLink::Alloc link already allocated");
  if (!link->Validate()) os_fatal("OSLink::Alloc corrupt link");
  link->Detach();
  link->isFree = false;
  link_pool_size--;
  return link;
}

OSLinkHead::OSLinkHead(char delete_contents)
    : delete_contents_on_destroy(delete_contents) {}

OSLinkHead::~OSLinkHead() {
  while (next != this) {
    OSLink* first = next;
    first->Detach();
    if (delete_contents_on_destroy) delete first;
  }
}

OSLinkList::OSLinkList(char delete_contents_on_destroy)
    : OSLinkHead(delete_contents_on_destroy), number_in_list(0), signature(0) {}

OSLinkList::~OSLinkList() = default;

void OSLinkList::Link(OSLink* at, OSLink* link, OSListObj* obj,
                      const char* msg) {
  if (link == nullptr || obj == nullptr) return;
  if (link->object != nullptr) os_fatal("%s", msg);
  link->LinkBefore(at != nullptr ? at : this, obj);
  number_in_list++;
  signature++;
}

void OSLinkList::Append(OSLink* link, OSListObj* obj) {
  Link(this, link, obj, "OSLinkList::Append of link that is already in a list");
}

void OSLinkList::Append(OSLinkListObj* obj) {
  Link(this, obj, obj,
       "OSLinkList::Append Obj of link that is already in a list");
}

void OSLinkList::Insert(OSLink* link, OSListObj* obj) {
  Link(next, link, obj, "OSLinkList::Insert of link that is already in a list");
}

void OSLinkList::Insert(OSLinkListObj* obj) {
  Link(next, obj, obj,
       "OSLinkList::Insert Obj of link that is already in a list");
}

void OSLinkList::InsertAt(OSLink* at, OSLink* link, OSLinkListObj* obj) {
  Link(at, link, obj, "OSLinkList::InsertAt of link that is already in a list");
}

void OSLinkList::Remove(OSLink* link) {
  if (link == nullptr || link->object == nullptr) return;
  number_in_list--;
  signature++;
  link->Remove();
}

void OSLinkList::Flush() {
  if (delete_contents_on_destroy) {
    while (next != this) {
      OSLink* first = next;
      first->Detach();
      delete first;
    }
  } else {
    OSLink::Flush();
  }
  number_in_list = 0;
}

bool OSLinkList::Lookup(char* s, OSListObj** objp, OSLink** linkp,
                        int* indexp) {
  OSListObj* found = nullptr;
  OSLink* found_link = nullptr;
  int index = 0;
  for (OSLink* l = next; l != this; l = l->next, index++) {
    OSListObj* obj = static_cast<OSListObj*>(l->object);
    if (obj->IsKey(s)) {
      found = obj;
      found_link = l;
      break;
    }
  }
  if (objp != nullptr) *objp = found;
  if (linkp != nullptr) *linkp = found_link;
  if (indexp != nullptr) *indexp = found != nullptr ? index : -1;
  return found != nullptr;
}

int OSLinkList::Search(char* s) {
  int index = -1;
  Lookup(s, nullptr, nullptr, &index);
  return index;
}

OSListObj* OSLinkList::Find(char* s) {
  OSListObj* obj = nullptr;
  Lookup(s, &obj, nullptr, nullptr);
  return obj;
}

OSListObj* OSLinkList::FirstObject() {
  return next != this ? static_cast<OSListObj*>(next->object) : nullptr;
}

OSListObj* OSLinkList::LastObject() {
  return previous != this ? static_cast<OSListObj*>(previous->object) : nullptr;
}

int OSLinkList::PosInList(OSListObj* obj) { return OSLink::PosInList(obj); }

OSListObj* OSLinkList::operator[](int i) {
  return static_cast<OSListObj*>(OSLink::operator[](i));
}

OSIndirectList::OSIndirectList(char delete_on_destroy)
    : OSLinkList(delete_on_destroy) {}

OSIndirectList::~OSIndirectList() { Flush(); }

OSLink* OSIndirectList::AddBefore(OSLink* at, OSListObj* obj) {
  if (obj == nullptr) return nullptr;
  OSLink* link = OSLink::Alloc();
  Link(at, link, obj, "OSLinkList::Append of link that is already in a list");
  return link;
}

OSLink* OSIndirectList::LinkOf(OSListObj* obj) {
  for (OSLink* l = next; l != this; l = l->next) {
    if (l->object == obj) return l;
  }
  return nullptr;
}

OSLink* OSIndirectList::Append(OSListObj* obj) { return AddBefore(this, obj); }

OSLink* OSIndirectList::Insert(OSListObj* obj) { return AddBefore(next, obj); }

OSLink* OSIndirectList::InsertAt(OSListObj* atobj, OSListObj* obj) {
  if (atobj == nullptr || obj == nullptr) return nullptr;
  OSLink* at = LinkOf(atobj);
  return AddBefore(at != nullptr ? at->next : this, obj);
}

OSLink* OSIndirectList::InsertBefore(OSListObj* atobj, OSListObj* obj) {
  if (atobj == nullptr || obj == nullptr) return nullptr;
  OSLink* at = LinkOf(atobj);
  return AddBefore(at != nullptr ? at : next, obj);
}

void OSIndirectList::Remove(OSListObj* obj) {
  if (obj == nullptr) return;
  OSLink* link = LinkOf(obj);
  if (link == nullptr) return;
  OSLinkList::Remove(link);
  link->Free();
}

void OSIndirectList::Flush() {
  while (next != this) {
    OSLink* link = next;
    OSListObj* obj = static_cast<OSListObj*>(link->object);
    link->Detach();
    if (delete_contents_on_destroy) delete obj;
    link->Free();
  }
  number_in_list = 0;
}

void OSIndirectList::Validate(char* msg) {
  const char* where = msg != nullptr ? msg : "";
  int count = 0;
  // The walk stops one link past the expected length, so that a ring that
  // no longer leads back to the head cannot keep it going.
  for (OSLink* l = next; l != this && count <= number_in_list; l = l->next) {
    if (!l->Validate() || l->isFree) {
      os_fatal("OSIndirectList %p corrupted @%p size=%d count=%d in %s",
               static_cast<void*>(this), static_cast<void*>(l), number_in_list,
               count, where);
    }
    count++;
  }
  if (count != number_in_list) {
    os_fatal("OSIndirectList %p incorrect length size=%d count=%d in %s",
             static_cast<void*>(this), number_in_list, count, where);
  }
}

void* OSLinkIterator::Next() {
  if (current == nullptr || current == start) return nullptr;
  void* obj = current->object;
  current = current->next;
  return obj;
}

void OSLinkIterator::Goto(int i) {
  if (start == nullptr) return;
  current = i < 0 ? start : start->next;
  for (; i > 0 && current != start; i--) current = current->next;
}

void* OSLinkIterator::operator[](int i) {
  Goto(i);
  return Next();
}

OSProtectedList::OSProtectedList() : OSIndirectList(0) {
  InitializeCriticalSection(&cs);
}

// The indirect list part empties itself after the lock is gone; nobody else
// may use a list that is being destroyed.
OSProtectedList::~OSProtectedList() { DeleteCriticalSection(&cs); }

OSLink* OSProtectedList::Append(OSListObj* obj) {
  CriticalSectionLock lock(&cs);
  return OSIndirectList::Append(obj);
}

OSLink* OSProtectedList::Insert(OSListObj* obj) {
  CriticalSectionLock lock(&cs);
  return OSIndirectList::Insert(obj);
}

OSLink* OSProtectedList::InsertAt(OSListObj* atobj, OSListObj* obj) {
  CriticalSectionLock lock(&cs);
  return OSIndirectList::InsertAt(atobj, obj);
}

OSLink* OSProtectedList::InsertBefore(OSListObj* atobj, OSListObj* obj) {
  CriticalSectionLock lock(&cs);
  return OSIndirectList::InsertBefore(atobj, obj);
}

void OSProtectedList::Remove(OSListObj* obj) {
  CriticalSectionLock lock(&cs);
  OSIndirectList::Remove(obj);
}

void OSProtectedList::Flush() {
  CriticalSectionLock lock(&cs);
  OSIndirectList::Flush();
}

OSListObj* OSProtectedList::FirstObject() {
  CriticalSectionLock lock(&cs);
  return OSIndirectList::FirstObject();
}

OSListObj* OSProtectedList::LastObject() {
  CriticalSectionLock lock(&cs);
  return OSIndirectList::LastObject();
}

bool OSProtectedList::Lookup(char* s, OSListObj** objp, OSLink** linkp,
                             int* indexp) {
  CriticalSectionLock lock(&cs);
  return OSIndirectList::Lookup(s, objp, linkp, indexp);
}

int OSProtectedList::Size() {
  CriticalSectionLock lock(&cs);
  return OSIndirectList::Size();
}

uint32_t OSProtectedList::Signature() {
  CriticalSectionLock lock(&cs);
  return OSIndirectList::Signature();
}

void OSProtectedList::Validate(char* msg) {
  CriticalSectionLock lock(&cs);
  OSIndirectList::Validate(msg);
}
