#include "kernel/OSKernel.h"

#include <pthread.h>

#include <cstdlib>

#include "kernel/OSBuf.h"
#include "kernel/OSCallback.h"
#include "kernel/OSConsole.h"
#include "kernel/OSEvent.h"
#include "kernel/OSList.h"

KernelCfg default_cfg = {
    {0, 100, 600, 1740},  // buf_size
    {100, 25, 25, 55},    // buf_qty
    50,                   // buf_min_space
    400,                  // callback_qty
    4000,                 // link_qty
    0,                    // trigger_stack
};
KernelCfg* KERNELCFG = nullptr;

CRITICAL_SECTION OS_CRITICAL_TRIGGER;
CRITICAL_SECTION OS_CRITICAL_LINK;
CRITICAL_SECTION OS_CRITICAL_BUFFERS;
CRITICAL_SECTION OS_CRITICAL_CALLBACKS;
CRITICAL_SECTION OS_CRITICAL_TIME;

OSLinkList OS_TIMER_LIST;
OSLinkList OS_POLL_LIST;
OSLinkList OS_READY_LIST;
OSLinkList OS_NOTIFY_LIST;

namespace {

// Whether os_startup has run and os_cleanup not since.
bool kernel_started = false;
// Whether the locks learn of the process's exit (registered once, after
// every static object that may hold a kernel lock has been constructed).
bool exit_hook_registered = false;
// The console os_startup created; kept for the life of the process so that
// code running at exit can still report.
PCConsole* startup_console = nullptr;

// State of the POSIX layer.
bool posix_ready = false;
pthread_attr_t default_thread_attr;
pthread_mutexattr_t recursive_mutex_attr;

}  // namespace

void os_startup(int /*membase*/, unsigned /*memsize*/, KernelCfg* cfg) {
  if (kernel_started) return;
  if (!exit_hook_registered) {
    exit_hook_registered = atexit(CriticalSectionsExiting) == 0;
  }
  os_posix_init();
  InitializeCriticalSection(&OS_CRITICAL_TRIGGER);
  KERNELCFG = cfg != nullptr ? cfg : &default_cfg;
  OSLink::Initialise();
  OSCallback::Initialise();
  OSBuf::Initialise();
  if (startup_console == nullptr) startup_console = new PCConsole(nullptr);
  Console = startup_console;
  kernel_started = true;
}

void os_cleanup() {
  if (!kernel_started) return;
  OSLink::UnInitialise();
  OSCallback::UnInitialise();
  OSBuf::UnInitialise();
  kernel_started = false;
}

void os_posix_init() {
  if (posix_ready) return;
  if (pthread_attr_init(&default_thread_attr) != 0 ||
      pthread_mutexattr_init(&recursive_mutex_attr) != 0 ||
      pthread_mutexattr_settype(&recursive_mutex_attr,
                                PTHREAD_MUTEX_RECURSIVE) != 0) {
    os_fatal("os_posix_init - thread attributes unavailable");
  }
  posix_ready = true;
}

void os_posix_cleanup() {
  if (!posix_ready) return;
  posix_ready = false;
  KernelEvent::DeleteAll();
  pthread_mutexattr_destroy(&recursive_mutex_attr);
  pthread_attr_destroy(&default_thread_attr);
}

void* OSMemPool::Allocate(unsigned long /*size*/) { return nullptr; }

void OSMemPool::Free(void* /*block*/) {}

void os_schedule() {}
void os_intdis() {}
void os_intenb() {}
void os_init_vectors() {}
void SysStrokeDog() {}
