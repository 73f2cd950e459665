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

#include <atomic>

struct CRITICAL_SECTION {
  CRITICAL_SECTION() = default;
  ~CRITICAL_SECTION();
  CRITICAL_SECTION(const CRITICAL_SECTION&) = delete;
  CRITICAL_SECTION& operator=(const CRITICAL_SECTION&) = delete;

  sem_t* sem = nullptr;  // null until InitializeCriticalSection
  // Owning thread, 0 when free. Read by any thread without the lock (the
  // owner test), written only by the thread that holds the semaphore.
  std::atomic<pthread_t> owner_thread_id{0};
  int owner_count = 0;  // recursion depth of the owner
};

// Creates the semaphore, free. A lock that is already initialised is kept
// as it is. A failure to create the semaphore is fatal.
void InitializeCriticalSection(CRITICAL_SECTION* cs);
// Waits for the lock, or counts one more entry when the caller holds it.
// On an uninitialised lock: returns at once before a console exists or once
// the process is exiting, and is fatal ("EnterCriticalSection Not
// Initialized") otherwise.
void EnterCriticalSection(CRITICAL_SECTION* cs);
// Fatal ("LeaveCriticalSection on one we dont own") when the caller is not
// the owner. Does nothing on an uninitialised lock.
void LeaveCriticalSection(CRITICAL_SECTION* cs);
// True when the caller now holds the lock (possibly recursively); false,
// without waiting, when another thread holds it. An uninitialised lock is
// treated as EnterCriticalSection treats it (true before a console exists).
bool TryEnterCriticalSection(CRITICAL_SECTION* cs);
// Releases the semaphore; the lock is uninitialised again.
void DeleteCriticalSection(CRITICAL_SECTION* cs);

// Marks the process as exiting (os_startup registers it with atexit). Static
// objects are then destroyed in no fixed order, so one may still take a
// kernel lock that has already been torn down; from here on that is a no-op.
void CriticalSectionsExiting();

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
