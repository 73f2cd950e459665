#include "kernel/OSEvent.h"

#include <cerrno>

#include "kernel/OSConsole.h"
#include "kernel/OSKernel.h"
#include "kernel/OSTime.h"

OSLinkHead KernelEvent::eventList;
int KernelEvent::nextHandle = 1;

namespace {

// Longest sleep between two polls of a finite wait, in milliseconds.
constexpr uint32_t kPollMs = 10;

// The semaphore of the live event `h`, or null.
sem_t* SemaphoreOf(HANDLE h) {
  CriticalSectionLock lock(&OS_CRITICAL_LINK);
  KernelEvent* event = KernelEvent::Find(h);
  return event != nullptr ? event->sem : nullptr;
}

}  // namespace

KernelEvent::KernelEvent() : handle(nextHandle++), sem(new sem_t) {
  if (sem_init(sem, 0, 0) != 0) {
    os_fatal("CreateEvent - sem_init error %d", errno);
  }
  LinkBefore(&eventList, this);
}

KernelEvent::~KernelEvent() {
  Remove();
  sem_destroy(sem);
  delete sem;
}

KernelEvent* KernelEvent::Find(int h) {
  for (OSLink* link = eventList.next; link != &eventList; link = link->next) {
    KernelEvent* event = static_cast<KernelEvent*>(link);
    if (event->handle == h) return event;
  }
  return nullptr;
}

void KernelEvent::DeleteAll() {
  CriticalSectionLock lock(&OS_CRITICAL_LINK);
  while (eventList.next != &eventList) {
    delete static_cast<KernelEvent*>(eventList.next);
  }
}

HANDLE CreateEvent(void* /*attributes*/, bool /*manual_reset*/,
                   bool /*initial_state*/, char* /*name*/) {
  CriticalSectionLock lock(&OS_CRITICAL_LINK);
  return (new KernelEvent)->handle;
}

bool SetEvent(HANDLE h) {
  sem_t* sem = SemaphoreOf(h);
  return sem != nullptr && sem_post(sem) == 0;
}

unsigned WaitForSingleObject(HANDLE h, unsigned tout) {
  if (h == 0) os_fatal("WaitForSingleObject Bad Handle");
  sem_t* sem = SemaphoreOf(h);
  if (sem == nullptr) return WAIT_FAILED;
  if (tout == INFINITE) return sem_wait(sem) == 0 ? WAIT_OBJECT_0 : WAIT_FAILED;

  uint32_t start = os_clock();
  for (;;) {
    if (sem_trywait(sem) == 0) return WAIT_OBJECT_0;
    if (errno != EAGAIN) return WAIT_FAILED;
    if (os_expired(start, tout)) return WAIT_TIMEOUT;
    uint32_t remaining = start + tout - os_clock();
    Sleep(static_cast<int>(remaining < kPollMs ? remaining : kPollMs));
  }
}

bool CloseHandle(HANDLE h) {
  CriticalSectionLock lock(&OS_CRITICAL_LINK);
  KernelEvent* event = KernelEvent::Find(h);
  if (event == nullptr) return false;
  delete event;
  return true;
}
