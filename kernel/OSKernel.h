// Start-up and shut-down of the runtime kernel, its configuration record and
// its process-wide locks and lists.
//
// os_startup must run once before any other kernel service: it sets up the
// link, callback and buffer pools from the configuration and creates the
// process console. The global locks are constructed at load time and are
// usable (as no-ops) before they are initialised; each pool initialises its
// own lock when it starts.
#ifndef KERNEL_OSKERNEL_H_
#define KERNEL_OSKERNEL_H_

#include <cstdint>

#include "kernel/OSCriticalSection.h"

class OSLinkList;

// Start-up configuration of the kernel's pools.
struct KernelCfg {
  int32_t buf_size[4];    // data bytes of the four buffer classes
  int32_t buf_qty[4];     // buffers pre-allocated per class
  int32_t buf_min_space;  // headroom callers add to a buffer request
  int32_t callback_qty;   // callback records pre-allocated
  int32_t link_qty;       // list links per pool block
  int32_t trigger_stack;  // not used
};

// The defaults: classes of 0, 100, 600 and 1740 bytes in quantities 100, 25,
// 25 and 55; headroom 50; 400 callbacks; 4000 links per block.
extern KernelCfg default_cfg;
// The configuration in force; null until os_startup.
extern KernelCfg* KERNELCFG;

extern CRITICAL_SECTION OS_CRITICAL_TRIGGER;    // queue trigger notification
extern CRITICAL_SECTION OS_CRITICAL_LINK;       // link pool and event list
extern CRITICAL_SECTION OS_CRITICAL_BUFFERS;    // buffer pools
extern CRITICAL_SECTION OS_CRITICAL_CALLBACKS;  // callback pool
extern CRITICAL_SECTION OS_CRITICAL_TIME;       // time-zone switching; see
                                                // kernel/OSTime.h

// Scheduler lists of the kernel, constructed at load and kept empty by this
// program. Their type is declared in kernel/OSList.h.
extern OSLinkList OS_TIMER_LIST;
extern OSLinkList OS_POLL_LIST;
extern OSLinkList OS_READY_LIST;
extern OSLinkList OS_NOTIFY_LIST;

// Makes the kernel usable: initialises the POSIX layer and the trigger lock,
// sets KERNELCFG to `cfg` (or &default_cfg when `cfg` is null), starts the
// link, callback and buffer pools in that order, and makes a PCConsole on
// standard output the process Console. It also arranges that locks taken by
// static destructors at exit, after the kernel's own locks are gone, do no
// harm. `membase` and `memsize` are ignored.
// A second call before os_cleanup changes nothing: the kernel is running.
void os_startup(int membase, unsigned memsize, KernelCfg* cfg);
// Releases the link, callback and buffer pools, in that order; os_startup
// may then run again. Objects still holding pooled links or buffers must be
// gone before. The console stays.
void os_cleanup();

// Prepares the default thread and recursive mutex attributes. Idempotent.
// Fatal ("os_posix_init - thread attributes unavailable") when they cannot
// be had.
void os_posix_init();
// Deletes every remaining event (kernel/OSEvent.h) and releases the
// attributes. Does nothing unless os_posix_init ran.
void os_posix_cleanup();

// Memory pool interface kept for the string type; this program has no such
// pools: Allocate always fails and Free ignores its argument.
class OSMemPool {
 public:
  OSMemPool() = default;
  OSMemPool(const OSMemPool&) = delete;
  OSMemPool& operator=(const OSMemPool&) = delete;

  // Always null.
  void* Allocate(unsigned long size);
  // Does nothing.
  void Free(void* block);

  OSMemPool* secondary_pool = nullptr;  // pool to try when this one is empty
  unsigned long size = 0;               // bytes managed
  int NoMemIsFatal = 0;                 // whether failing is fatal
};

// Hooks of the embedded scheduler this kernel descends from; all do nothing.
void os_schedule();
void os_intdis();
void os_intenb();
void os_init_vectors();
void SysStrokeDog();

#endif  // KERNEL_OSKERNEL_H_
