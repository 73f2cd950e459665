#include "kernel/OSEvent.h"

#include <gtest/gtest.h>

#include <thread>

#include "kernel/OSConsole.h"
#include "kernel/OSKernel.h"
#include "kernel/OSTime.h"

namespace {

class EventTest : public ::testing::Test {
 protected:
  void SetUp() override { os_startup(0, 0, nullptr); }
};

TEST_F(EventTest, ZeroTimeoutConsumesOneSignalAtATime) {
  HANDLE h = CreateEvent(nullptr, false, false, nullptr);
  EXPECT_GT(h, 0);
  EXPECT_EQ(WaitForSingleObject(h, 0), WAIT_TIMEOUT);
  EXPECT_TRUE(SetEvent(h));
  EXPECT_EQ(WaitForSingleObject(h, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(h, 0), WAIT_TIMEOUT);
  EXPECT_TRUE(SetEvent(h));  // kept until somebody waits
  EXPECT_TRUE(SetEvent(h));
  EXPECT_EQ(WaitForSingleObject(h, INFINITE), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(h, 20), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(h, 20), WAIT_TIMEOUT);

  EXPECT_TRUE(CloseHandle(h));
  EXPECT_FALSE(SetEvent(h));
  EXPECT_EQ(WaitForSingleObject(h, 0), WAIT_FAILED);
  EXPECT_FALSE(CloseHandle(h));
  HANDLE next = CreateEvent(nullptr, true, true, nullptr);
  EXPECT_EQ(next, h + 1);
  CloseHandle(next);
}

TEST_F(EventTest, WaitersAreReleasedByAnotherThread) {
  HANDLE h = CreateEvent(nullptr, false, false, nullptr);
  std::thread signaller([h] {
    Sleep(20);
    SetEvent(h);
    Sleep(20);
    SetEvent(h);
  });
  EXPECT_EQ(WaitForSingleObject(h, 60000), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(h, INFINITE), WAIT_OBJECT_0);
  signaller.join();
  CloseHandle(h);
}

TEST_F(EventTest, PosixCleanupDeletesTheRemainingEvents) {
  HANDLE first = CreateEvent(nullptr, false, false, nullptr);
  HANDLE second = CreateEvent(nullptr, false, false, nullptr);
  os_posix_cleanup();
  EXPECT_FALSE(SetEvent(first));
  EXPECT_FALSE(CloseHandle(second));
  os_posix_init();
  HANDLE next = CreateEvent(nullptr, false, false, nullptr);
  EXPECT_EQ(next, second + 1);  // handles are never reused
  EXPECT_TRUE(CloseHandle(next));
}

using EventDeathTest = EventTest;

// The "threadsafe" style runs the statement in a newly started copy of this
// program, where no event was created before, whatever ran here.
TEST_F(EventDeathTest, TheFirstHandleOfAProcessIsOne) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(exit(CreateEvent(nullptr, false, false, nullptr)),
              ::testing::ExitedWithCode(1), "");
}

TEST_F(EventDeathTest, BadHandleIsFatal) {
  EXPECT_DEATH(
      {
        Console->SetOutput(stderr);
        WaitForSingleObject(0, 0);
      },
      "WaitForSingleObject Bad Handle");
}

}  // namespace
