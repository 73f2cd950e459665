#include "kernel/OSTime.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <string>

#include "kernel/OSConsole.h"
#include "kernel/OSKernel.h"

namespace {

// Device control request that reads the clock device's millisecond count.
constexpr unsigned long kClockRead = 1;
// GetTZTime calls slower than this many milliseconds are reported.
constexpr uint32_t kSlowTZTimeMs = 50;

// Set once OS_CRITICAL_TIME has been initialised by the first GetTZTime.
std::atomic<bool> time_lock_exists{false};
std::once_flag time_lock_once;

std::atomic<uint32_t> clock_test_offset{0};

// The clock device's descriptor, opened on first use; -1 when absent.
int ClockDevice() {
  static const int fd = open("/dev/os_clock", O_RDONLY | O_CLOEXEC);
  return fd;
}

uint32_t RawClock() {
  int fd = ClockDevice();
  if (fd >= 0) {
    uint32_t ticks = 0;
    if (ioctl(fd, kClockRead, &ticks) == 0) return ticks;
  }
  timeval tv;
  gettimeofday(&tv, nullptr);
  return static_cast<uint32_t>(static_cast<uint64_t>(tv.tv_sec) * 1000 +
                               static_cast<uint64_t>(tv.tv_usec) / 1000);
}

// Copies a broken-down time into `st`; wMilliseconds is left to the caller.
void FromTm(const tm& t, _SYSTEMTIME* st) {
  st->wYear = static_cast<WORD>(t.tm_year + 1900);
  st->wMonth = static_cast<WORD>(t.tm_mon + 1);
  st->wDayOfWeek = static_cast<WORD>(t.tm_wday);
  st->wDay = static_cast<WORD>(t.tm_mday);
  st->wHour = static_cast<WORD>(t.tm_hour);
  st->wMinute = static_cast<WORD>(t.tm_min);
  st->wSecond = static_cast<WORD>(t.tm_sec);
  st->isDst = static_cast<WORD>(t.tm_isdst > 0 ? t.tm_isdst : 0);
}

// The current time broken down by `breakdown` (gmtime_r or localtime_r).
// The caller holds the time lock when it exists.
void CurrentTime(tm* (*breakdown)(const time_t*, tm*), _SYSTEMTIME* st) {
  timeval tv;
  gettimeofday(&tv, nullptr);
  time_t seconds = tv.tv_sec;
  tm t{};
  breakdown(&seconds, &t);
  FromTm(t, st);
  st->wMilliseconds = static_cast<WORD>(tv.tv_usec / 1000);
}

// Runs `breakdown` of the current time under the time lock.
void LockedCurrentTime(tm* (*breakdown)(const time_t*, tm*), _SYSTEMTIME* st) {
  bool locked = LockTime();
  CurrentTime(breakdown, st);
  UnlockTime(locked);
}

void CreateTimeLock() {
  InitializeCriticalSection(&OS_CRITICAL_TIME);
  time_lock_exists.store(true);
  if (Console != nullptr) {
    Console->Print("GetTZTime init time zone changing\n");
  }
  // Lets conversions that started before the lock existed finish before the
  // first zone change.
  Sleep(5);
}

// Sets TZ to `tz` (unset for null) and re-reads the zone rules.
void SwitchZone(const char* tz) {
  if (tz != nullptr) {
    setenv("TZ", tz, 1);
  } else {
    unsetenv("TZ");
  }
  tzset();
}

}  // namespace

bool LockTime() {
  if (!time_lock_exists.load()) return false;
  EnterCriticalSection(&OS_CRITICAL_TIME);
  return true;
}

void UnlockTime(bool did_lock) {
  if (did_lock && time_lock_exists.load()) {
    LeaveCriticalSection(&OS_CRITICAL_TIME);
  }
}

void GetSystemTime(_SYSTEMTIME* st) { LockedCurrentTime(gmtime_r, st); }

void GetLocalTime(_SYSTEMTIME* st) { LockedCurrentTime(localtime_r, st); }

void SystemTimeToLocalTime(const _SYSTEMTIME* utc, _SYSTEMTIME* local) {
  tm t{};
  t.tm_year = utc->wYear - 1900;
  t.tm_mon = utc->wMonth - 1;
  t.tm_wday = utc->wDayOfWeek;
  t.tm_mday = utc->wDay;
  t.tm_hour = utc->wHour;
  t.tm_min = utc->wMinute;
  t.tm_sec = utc->wSecond;
  time_t seconds = timegm(&t);
  bool locked = LockTime();
  localtime_r(&seconds, &t);
  UnlockTime(locked);
  FromTm(t, local);
}

void GetTZTime(_SYSTEMTIME* st, const char* tz) {
  std::call_once(time_lock_once, CreateTimeLock);
  EnterCriticalSection(&OS_CRITICAL_TIME);
  uint32_t start = os_clock();

  const char* saved = getenv("TZ");
  bool was_set = saved != nullptr;
  std::string saved_tz = was_set ? saved : "";
  SwitchZone(tz);
  CurrentTime(localtime_r, st);
  SwitchZone(was_set ? saved_tz.c_str() : nullptr);

  LeaveCriticalSection(&OS_CRITICAL_TIME);
  uint32_t elapsed = os_clock() - start;
  if (Console != nullptr && elapsed > kSlowTZTimeMs) {
    Console->Print("GetTZTime processing time %d for %s\n",
                   static_cast<int>(elapsed), tz != nullptr ? tz : "");
  }
}

uint32_t os_clock() { return RawClock() + clock_test_offset.load(); }

bool os_expired(uint32_t stime, uint32_t duration) {
  return os_clock() - stime >= duration;
}

long os_monotonic_ms() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

void Sleep(int ms) {
  if (ms <= 0) return;
  timespec remaining{ms / 1000, static_cast<long>(ms % 1000) * 1000000L};
  // A signal cuts the sleep short; sleep on for the time that remains.
  while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) continue;
}

void os_clock_set_test_offset(uint32_t offset) {
  clock_test_offset.store(offset);
}
