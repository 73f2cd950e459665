#include "kernel/OSCriticalSection.h"

#include <cerrno>

#include "kernel/OSConsole.h"

namespace {

// Set by CriticalSectionsExiting once exit has begun.
std::atomic<bool> process_exiting{false};

bool OwnedByCaller(const CRITICAL_SECTION* cs) {
  pthread_t owner = cs->owner_thread_id.load(std::memory_order_relaxed);
  return owner != 0 && pthread_equal(owner, pthread_self());
}

// Makes the caller the owner; the caller has just taken the semaphore.
void BecomeOwner(CRITICAL_SECTION* cs) {
  cs->owner_thread_id.store(pthread_self(), std::memory_order_relaxed);
  cs->owner_count = 1;
}

// Handles entry to a lock without a semaphore: start-up code may take the
// global locks before they are initialised and before the console exists,
// and static destructors may take them after they were torn down; then the
// lock does nothing. Otherwise this is misuse.
void EnterUninitialised() {
  if (Console == nullptr || process_exiting.load()) return;
  os_fatal("EnterCriticalSection Not Initialized");
}

}  // namespace

void CriticalSectionsExiting() { process_exiting.store(true); }

CRITICAL_SECTION::~CRITICAL_SECTION() { DeleteCriticalSection(this); }

void InitializeCriticalSection(CRITICAL_SECTION* cs) {
  if (cs->sem != nullptr) return;
  sem_t* sem = new sem_t;
  if (sem_init(sem, 0, 0) != 0 || sem_post(sem) != 0) {
    int err = errno;
    delete sem;
    os_fatal("InitializeCriticalSection - sem_init error %d", err);
  }
  cs->owner_thread_id.store(0, std::memory_order_relaxed);
  cs->owner_count = 0;
  cs->sem = sem;
}

void EnterCriticalSection(CRITICAL_SECTION* cs) {
  if (OwnedByCaller(cs)) {
    ++cs->owner_count;
    return;
  }
  if (cs->sem == nullptr) {
    EnterUninitialised();
    return;
  }
  while (sem_wait(cs->sem) != 0) {
    int err = errno;
    if (Console != nullptr) {
      Console->Print("EnterCriticalSection - sem_wait error %d", err);
    }
    // Only a signal may interrupt the wait; any other failure means the
    // semaphore is broken and mutual exclusion can no longer be had.
    if (err != EINTR) os_fatal("EnterCriticalSection - sem_wait error %d", err);
  }
  BecomeOwner(cs);
}

void LeaveCriticalSection(CRITICAL_SECTION* cs) {
  if (cs->sem == nullptr) return;
  if (!OwnedByCaller(cs)) os_fatal("LeaveCriticalSection on one we dont own");
  if (--cs->owner_count > 0) return;
  cs->owner_thread_id.store(0, std::memory_order_relaxed);
  if (sem_post(cs->sem) != 0) {
    os_fatal("LeaveCriticalSection - sem_post error %d", errno);
  }
}

bool TryEnterCriticalSection(CRITICAL_SECTION* cs) {
  if (OwnedByCaller(cs)) {
    ++cs->owner_count;
    return true;
  }
  if (cs->sem == nullptr) {
    EnterUninitialised();
    return true;
  }
  if (sem_trywait(cs->sem) != 0) return false;
  BecomeOwner(cs);
  return true;
}

void DeleteCriticalSection(CRITICAL_SECTION* cs) {
  if (cs->sem == nullptr) return;
  sem_destroy(cs->sem);
  delete cs->sem;
  cs->sem = nullptr;
  cs->owner_thread_id.store(0, std::memory_order_relaxed);
  cs->owner_count = 0;
}
