#include "kernel/OSTime.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

namespace {

// Sets (or, for null, removes) TZ and re-reads the zone rules.
void SetTZ(const char* tz) {
  if (tz != nullptr) {
    setenv("TZ", tz, 1);
  } else {
    unsetenv("TZ");
  }
  tzset();
}

int MinuteOfDay(const _SYSTEMTIME& t) { return t.wHour * 60 + t.wMinute; }

TEST(GetTZTime, LeavesTZExactlyAsFound) {
  _SYSTEMTIME t;
  SetTZ(nullptr);
  GetTZTime(&t, "XST-5");
  EXPECT_EQ(getenv("TZ"), nullptr);

  SetTZ("");  // empty (UTC) differs from unset (the system's zone)
  GetTZTime(&t, "XST-5");
  ASSERT_NE(getenv("TZ"), nullptr);
  EXPECT_STREQ(getenv("TZ"), "");

  std::string long_zone = "ABC-3" + std::string(2000, ' ');
  SetTZ(long_zone.c_str());
  GetTZTime(&t, "XST-5");
  ASSERT_NE(getenv("TZ"), nullptr);
  EXPECT_EQ(getenv("TZ"), long_zone);
  SetTZ(nullptr);
}

TEST(GetTZTime, AppliesTheRequestedZone) {
  for (int attempt = 0; attempt < 3; ++attempt) {
    _SYSTEMTIME before, east, after;
    GetSystemTime(&before);
    GetTZTime(&east, "XST-5:30");
    GetSystemTime(&after);
    if (MinuteOfDay(before) != MinuteOfDay(after)) continue;  // too close
    EXPECT_EQ(MinuteOfDay(east), (MinuteOfDay(before) + 330) % 1440);
    return;
  }
  FAIL() << "clock kept crossing minute boundaries";
}

TEST(SystemTimeToLocalTime, ConvertsAcrossDaysAndDaylightSaving) {
  SetTZ("CET-1CEST,M3.5.0,M10.5.0/3");
  _SYSTEMTIME utc{2024, 2, 4, 29, 23, 30, 15, 999, 0};  // Thu 29 Feb 2024
  _SYSTEMTIME local{};
  local.wMilliseconds = 777;
  SystemTimeToLocalTime(&utc, &local);
  _SYSTEMTIME expected{2024, 3, 5, 1, 0, 30, 15, 777, 0};  // ms not written
  EXPECT_EQ(memcmp(&local, &expected, sizeof(local)), 0);

  _SYSTEMTIME summer{2024, 7, 1, 1, 12, 0, 0, 0, 0};
  SystemTimeToLocalTime(&summer, &local);
  EXPECT_EQ(local.wHour, 14);
  EXPECT_EQ(local.isDst, 1);
  SetTZ(nullptr);
}

// Places os_clock so that it reads `target` now.
void SetClock(uint32_t target) {
  os_clock_set_test_offset(0);
  os_clock_set_test_offset(target - os_clock());
}

TEST(OsClock, ExpiryIsCorrectAcrossTheWrap) {
  SetClock(20);  // wrapped: 36 ticks after a start 16 ticks before the wrap
  EXPECT_TRUE(os_expired(0xFFFFFFF0u, 32));
  EXPECT_FALSE(os_expired(0xFFFFFFF0u, 100000));
  SetClock(0xFFFF0005u);  // start + duration lies beyond the wrap
  EXPECT_FALSE(os_expired(0xFFFF0000u, 0x20000));
  SetClock(0x00010001u);
  EXPECT_TRUE(os_expired(0xFFFF0000u, 0x20000));
  os_clock_set_test_offset(0);
}

}  // namespace
