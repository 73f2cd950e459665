// Win32-style event handles over POSIX semaphores.
//
// An event is a counting semaphore named by a positive integer handle: each
// SetEvent releases one waiter, and signals given while nobody waits are
// kept. The list of live events is guarded by OS_CRITICAL_LINK, so handles
// may be created, signalled and closed from any thread. Closing a handle
// while another thread still waits on it is the caller's error.
#ifndef KERNEL_OSEVENT_H_
#define KERNEL_OSEVENT_H_

#include <semaphore.h>

#include "kernel/OSList.h"
#include "kernel/OSTypes.h"

// Results of WaitForSingleObject.
constexpr unsigned WAIT_OBJECT_0 = 0;   // the event was signalled
constexpr unsigned WAIT_TIMEOUT = 110;  // the time-out passed first
constexpr unsigned WAIT_FAILED = 128;   // unknown handle or failed wait
// Time-out that never passes.
constexpr unsigned INFINITE = 0xFFFFFFFFu;

// One live event, kept in eventList from CreateEvent to CloseHandle.
class KernelEvent : public OSLink {
 public:
  // Gives the event the next handle and an unsignalled semaphore, and adds
  // it to eventList. The caller holds OS_CRITICAL_LINK.
  KernelEvent();
  // Takes the event out of eventList and destroys its semaphore. The caller
  // holds OS_CRITICAL_LINK.
  ~KernelEvent() override;
  KernelEvent(const KernelEvent&) = delete;
  KernelEvent& operator=(const KernelEvent&) = delete;

  // The live event with handle `h`, or null. The caller holds
  // OS_CRITICAL_LINK; the pointer is valid until CloseHandle(h).
  static KernelEvent* Find(int h);
  // Deletes every live event (kernel shut-down).
  static void DeleteAll();

  HANDLE handle;  // positive, unique for the life of the process
  sem_t* sem;     // owned; counts pending signals

  static OSLinkHead eventList;  // every live event, each carrying itself
  static int nextHandle;        // handle of the next event, from 1
};

// Creates an event and returns its handle (1 for the first). The security
// attributes, manual-reset flag, initial state and name are ignored: every
// event starts unsignalled and releases one waiter per signal.
HANDLE CreateEvent(void* attributes, bool manual_reset, bool initial_state,
                   char* name);
// Signals the event: false for an unknown handle.
bool SetEvent(HANDLE h);
// Waits up to `tout` milliseconds (INFINITE: no limit) for a signal and
// consumes it. Returns WAIT_OBJECT_0, WAIT_TIMEOUT, or WAIT_FAILED for an
// unknown handle or a failed wait. Handle 0 is a programming error and ends
// the process ("WaitForSingleObject Bad Handle"). A finite wait polls at
// least every 10 ms; a time-out of 0 never sleeps.
unsigned WaitForSingleObject(HANDLE h, unsigned tout);
// Deletes the event: false for an unknown handle.
bool CloseHandle(HANDLE h);

#endif  // KERNEL_OSEVENT_H_
