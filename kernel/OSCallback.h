// Pooled callback records: a function plus the three arguments to call it
// with, run when a data buffer's data or the buffer itself is released, or
// when a stream's bytes have left it.
//
// All callbacks are carved from one block of KERNELCFG->callback_qty records
// at start-up and recycled through `callback_pool`; the pool never grows.
// Alloc and Free take OS_CRITICAL_CALLBACKS (before the link-pool lock, which
// an OSCallbackRecord takes inside). A callback is used by one owner at a time.
#ifndef KERNEL_OSCALLBACK_H_
#define KERNEL_OSCALLBACK_H_

#include "kernel/OSList.h"
#include "kernel/OSListObj.h"
#include "kernel/OSTypedList.h"
#include "kernel/OSTypes.h"

class OSCallbackRecord;

// The function a callback runs: its object, address and value.
typedef void (*OSCallbackFunction)(OSObj* object, void* addr, DWORD value);

class OSCallback : public OSLinkListObj {
 public:
  // Carves KERNELCFG->callback_qty callbacks from one block into the pool and
  // initialises OS_CRITICAL_CALLBACKS. Called once by os_startup.
  static void Initialise();
  // Releases the block. Callbacks still in use must not be touched afterwards.
  static void UnInitialise();

  // Takes a callback from the pool and fills it. When `cbr` is given the
  // callback is also listed there, so that its owner can cancel it. Returns
  // null after Console->Warning("OSCallback::Alloc Out Of Callbacks") when
  // the pool is empty.
  static OSCallback* Alloc(OSCallbackRecord* cbr, OSCallbackFunction funct,
                           OSObj* object, void* addr, unsigned long value);

  OSCallback() = default;
  ~OSCallback() override = default;
  OSCallback(const OSCallback&) = delete;
  OSCallback& operator=(const OSCallback&) = delete;

  // Runs callback_function(object, addr, value).
  void Execute();
  // Returns the callback to the pool: it leaves its record and any list it
  // still waits in first. The caller must not use it afterwards. Fatal
  // ("OSCallback::Free already free") for a callback already in the pool.
  void Free() override;

  // Makes the callback wait at the end of `list` (a buffer's or a stream's
  // callback list), leaving any list it waited in before.
  void AppendTo(OSLinkHead* list);
  // Runs every callback waiting in `list`, in order, taking each out of the
  // list and releasing it.
  static void ExecuteAll(OSLinkHead* list);
  // Moves every callback waiting in `from` to the end of `to`, in order.
  static void MoveAll(OSLinkHead* from, OSLinkHead* to);

  OSCallbackFunction callback_function = nullptr;
  OSCallbackRecord* callback_record = nullptr;  // where it is listed, or null
  // The callback's own object argument; it hides OSLink::object, which
  // carries this callback while it sits in a list.
  OSObj* object = nullptr;
  void* addr = nullptr;
  DWORD value = 0;

  static OSLinkList callback_pool;  // the free callbacks
  static int callback_pool_size;    // number of free callbacks
};

// The callbacks one owner registered, so that it can cancel them together.
// Does not own them: CancelCallbacks returns them to the pool unrun.
class OSCallbackRecord : public OSTypedList<OSCallback> {
 public:
  OSCallbackRecord();
  // Cancels every callback still registered.
  ~OSCallbackRecord() override;
  OSCallbackRecord(const OSCallbackRecord&) = delete;
  OSCallbackRecord& operator=(const OSCallbackRecord&) = delete;

  // Takes every registered callback out of this record and out of the list
  // it waits in (a buffer's or a stream's), and frees it without running it.
  void CancelCallbacks();
};

#endif  // KERNEL_OSCALLBACK_H_
