#include "kernel/OSCriticalSection.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "kernel/OSConsole.h"
#include "kernel/OSTime.h"

namespace {

TEST(CriticalSection, OwnerMustLeaveAsOftenAsItEntered) {
  CRITICAL_SECTION cs;
  InitializeCriticalSection(&cs);
  for (int i = 0; i < 3; ++i) EnterCriticalSection(&cs);
  bool tried = true;
  std::thread([&] { tried = TryEnterCriticalSection(&cs); }).join();
  EXPECT_FALSE(tried);

  std::atomic<bool> entered{false};
  std::thread other([&] {
    EnterCriticalSection(&cs);
    entered = true;
    LeaveCriticalSection(&cs);
  });
  LeaveCriticalSection(&cs);
  LeaveCriticalSection(&cs);
  Sleep(50);
  EXPECT_FALSE(entered) << "another thread entered while the owner held it";
  LeaveCriticalSection(&cs);
  other.join();
  EXPECT_TRUE(entered);
  EXPECT_TRUE(TryEnterCriticalSection(&cs));
  LeaveCriticalSection(&cs);
}

// A console on stderr, where death tests look for the message.
void UseStderrConsole() {
  Console = new PCConsole(nullptr);
  Console->SetOutput(stderr);
}

TEST(CriticalSectionDeathTest, MisuseIsFatal) {
  EXPECT_DEATH(
      {
        UseStderrConsole();
        CRITICAL_SECTION cs;
        EnterCriticalSection(&cs);
      },
      "EnterCriticalSection Not Initialized");
  EXPECT_DEATH(
      {
        UseStderrConsole();
        CRITICAL_SECTION cs;
        InitializeCriticalSection(&cs);
        EnterCriticalSection(&cs);
        std::thread([&] { LeaveCriticalSection(&cs); }).join();
      },
      "LeaveCriticalSection on one we dont own");
}

}  // namespace
