// Recursive mutual-exclusion lock with a Win32-style interface over POSIX
// semaphores.
//
// A CRITICAL_SECTION is one binary semaphore plus an owner thread and a
// recursion depth. The owning thread may enter again any number of times and
// must leave as often. Leaving a lock the caller does not own ends the process
// through Console->Fatal. Entering a lock that was never initialised is fatal
// once a console exists, and a no-op before that (start-up order).
#ifndef KERNEL_OSCRITICALSECTION_H_
#define KERNEL_OSCRITICALSECTION_H_

#include <pthread.h>
#include <semaphore.h>

struct CRITICAL_SECTION {
  CRITICAL_SECTION() = default;
  ~CRITICAL_SECTION();
  CRITICAL_SECTION(const CRITICAL_SECTION&) = delete;
  CRITICAL_SECTION& operator=(const CRITICAL_SECTION&) = delete;

  sem_t* sem = nullptr;             // null until InitializeCriticalSection
  pthread_t owner_thread_id = 0;    // owning thread, 0 when free
  int owner_count = 0;              // recursion depth of the owner
};

void InitializeCriticalSection(CRITICAL_SECTION* cs);
void EnterCriticalSection(CRITICAL_SECTION* cs);
// Fatal ("LeaveCriticalSection on one we dont own") when the caller is not
// the owner. Does nothing on an uninitialised lock.
void LeaveCriticalSection(CRITICAL_SECTION* cs);
// True when the caller now holds the lock (possibly recursively).
bool TryEnterCriticalSection(CRITICAL_SECTION* cs);
void DeleteCriticalSection(CRITICAL_SECTION* cs);

// Holds a lock for the lifetime of a scope.
class CriticalSectionLock {
 public:
  explicit CriticalSectionLock(CRITICAL_SECTION* cs) : cs_(cs) {
    EnterCriticalSection(cs_);
  }
  ~CriticalSectionLock() { LeaveCriticalSection(cs_); }
  CriticalSectionLock(const CriticalSectionLock&) = delete;
  CriticalSectionLock& operator=(const CriticalSectionLock&) = delete;

 private:
  CRITICAL_SECTION* cs_;
};

#endif  // KERNEL_OSCRITICALSECTION_H_
