// Broken-down times, time-zone conversion, the millisecond clock and Sleep.
//
// Thread safety: GetTZTime switches the process-wide TZ environment variable
// for the length of one call. From its first call on, every function here
// that breaks a time down in local time runs under OS_CRITICAL_TIME, so that
// none of them sees another thread's temporary zone. Before that first call
// no lock is taken.
#ifndef KERNEL_OSTIME_H_
#define KERNEL_OSTIME_H_

#include <cstdint>

#include "kernel/OSTypes.h"

// A broken-down time.
struct _SYSTEMTIME {
  WORD wYear;       // full year, e.g. 2024
  WORD wMonth;      // 1-12
  WORD wDayOfWeek;  // 0 = Sunday
  WORD wDay;        // 1-31
  WORD wHour;
  WORD wMinute;
  WORD wSecond;
  WORD wMilliseconds;
  WORD isDst;  // daylight-saving flag of the conversion (0 or 1)
};

// Enters OS_CRITICAL_TIME and returns true once the time lock exists (after
// the first GetTZTime); returns false before that.
bool LockTime();
// Leaves OS_CRITICAL_TIME when `did_lock` is true (the result of LockTime).
void UnlockTime(bool did_lock);

// The current time, to the millisecond, in UTC.
void GetSystemTime(_SYSTEMTIME* st);
// The current time, to the millisecond, in the process's time zone.
void GetLocalTime(_SYSTEMTIME* st);
// Converts the UTC time `utc` (milliseconds ignored) to the process's time
// zone. `local->wMilliseconds` is left as it was.
void SystemTimeToLocalTime(const _SYSTEMTIME* utc, _SYSTEMTIME* local);
// The current time in the time zone `tz` (a POSIX TZ value such as
// "Europe/London"); a null `tz` means the system's default zone. TZ is
// restored exactly as it was found, unset included. Calls slower than 50 ms
// are reported on the console.
void GetTZTime(_SYSTEMTIME* st, const char* tz);

// Free-running millisecond count that wraps at 2^32. Read from the clock
// device "/dev/os_clock" when the process can open it, else derived from the
// time of day.
uint32_t os_clock();
// True once `duration` milliseconds have passed since the os_clock value
// `stime`; correct across the wrap of the clock.
bool os_expired(uint32_t stime, uint32_t duration);
// Milliseconds on the monotonic clock (CLOCK_MONOTONIC): for deadlines and
// elapsed times, never wraps. Async-signal-safe.
long os_monotonic_ms();
// Suspends the calling thread for `ms` milliseconds (nothing when `ms` <= 0).
void Sleep(int ms);

// For tests only: adds `offset` to every later os_clock value, so that a test
// can place the clock just before its wrap. Production code never calls it;
// the offset is 0.
void os_clock_set_test_offset(uint32_t offset);

#endif  // KERNEL_OSTIME_H_
