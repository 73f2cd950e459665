#include "kernel/OSCallback.h"

#include <cstdlib>
#include <new>

#include "kernel/OSConsole.h"
#include "kernel/OSCriticalSection.h"
#include "kernel/OSKernel.h"

OSLinkList OSCallback::callback_pool;
int OSCallback::callback_pool_size = 0;

namespace {

// The block all callbacks are carved from, and how many it holds.
OSCallback* callback_block = nullptr;
int callback_block_qty = 0;

}  // namespace

void OSCallback::Initialise() {
  if (callback_block != nullptr) return;
  InitializeCriticalSection(&OS_CRITICAL_CALLBACKS);
  CriticalSectionLock lock(&OS_CRITICAL_CALLBACKS);
  const KernelCfg* cfg = KERNELCFG != nullptr ? KERNELCFG : &default_cfg;
  const int qty = cfg->callback_qty > 0 ? cfg->callback_qty : 0;
  if (qty == 0) return;
  void* block = std::malloc(sizeof(OSCallback) * qty);
  if (block == nullptr) os_fatal("OSCallback::Initialise Out Of Memory");
  callback_block = static_cast<OSCallback*>(block);
  callback_block_qty = qty;
  for (int i = 0; i < qty; i++) {
    OSCallback* cb = new (&callback_block[i]) OSCallback;
    cb->isFree = true;
    callback_pool.Insert(cb);
    callback_pool_size++;
  }
}

void OSCallback::UnInitialise() {
  CriticalSectionLock lock(&OS_CRITICAL_CALLBACKS);
  if (callback_block == nullptr) return;
  // The records go with their block; the pool forgets them without walking
  // memory that callers may still hold pointers into.
  callback_pool.next = callback_pool.previous = &callback_pool;
  callback_pool.number_in_list = 0;
  callback_pool_size = 0;
  std::free(callback_block);
  callback_block = nullptr;
  callback_block_qty = 0;
}

OSCallback* OSCallback::Alloc(OSCallbackRecord* cbr, OSCallbackFunction funct,
                              OSObj* object, void* addr, unsigned long value) {
  OSCallback* cb;
  {
    CriticalSectionLock lock(&OS_CRITICAL_CALLBACKS);
    cb = static_cast<OSCallback*>(callback_pool.FirstObject());
    if (cb != nullptr) {
      callback_pool.Remove(cb);
      callback_pool_size--;
      cb->isFree = false;
    }
  }
  if (cb == nullptr) {
    if (Console != nullptr)
      Console->Warning("OSCallback::Alloc Out Of Callbacks");
    return nullptr;
  }
  cb->callback_function = funct;
  cb->object = object;
  cb->addr = addr;
  cb->value = static_cast<DWORD>(value);
  cb->callback_record = cbr;
  if (cbr != nullptr) cbr->Append(cb);
  return cb;
}

void OSCallback::Execute() {
  if (callback_function != nullptr) callback_function(object, addr, value);
}

void OSCallback::Free() {
  CriticalSectionLock lock(&OS_CRITICAL_CALLBACKS);
  if (isFree) os_fatal("OSCallback::Free already free");
  if (callback_record != nullptr) {
    callback_record->Remove(this);
    callback_record = nullptr;
  }
  // A callback released while still waiting would otherwise run later on
  // behalf of whoever allocates it next.
  Remove();
  isFree = true;
  callback_pool.Insert(this);
  callback_pool_size++;
}

void OSCallback::AppendTo(OSLinkHead* list) {
  Remove();
  LinkBefore(list, static_cast<OSListObj*>(this));
}

void OSCallback::ExecuteAll(OSLinkHead* list) {
  while (list->next != list) {
    OSCallback* cb = static_cast<OSCallback*>(list->next);
    cb->Remove();
    cb->Execute();
    cb->Free();
  }
}

void OSCallback::MoveAll(OSLinkHead* from, OSLinkHead* to) {
  while (from->next != from) {
    static_cast<OSCallback*>(from->next)->AppendTo(to);
  }
}

OSCallbackRecord::OSCallbackRecord() : OSTypedList<OSCallback>(0) {}

OSCallbackRecord::~OSCallbackRecord() { CancelCallbacks(); }

void OSCallbackRecord::CancelCallbacks() {
  while (OSCallback* cb = First()) {
    Remove(cb);
    cb->callback_record = nullptr;
    cb->Remove();
    cb->Free();
  }
}
