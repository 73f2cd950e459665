#include "kernel/OSKernel.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <regex>
#include <string>

#include "kernel/OSBuf.h"
#include "kernel/OSCallback.h"
#include "kernel/OSConsole.h"

namespace {

// A static object whose destructor takes a lock that is already gone, as a
// static list destroyed after the kernel's locks would.
struct TakesLockAtExit {
  ~TakesLockAtExit() {
    if (lock == nullptr) return;
    EnterCriticalSection(lock);
    LeaveCriticalSection(lock);
  }
  CRITICAL_SECTION* lock = nullptr;
} takes_lock_at_exit;
CRITICAL_SECTION torn_down;

// Needs a process in which the kernel has not started: the "threadsafe" death
// test style runs the statement in a newly started copy of this program, so
// the test does not depend on which tests ran before it. The child reports
// what it found wrong on stderr.
TEST(OsStartupDeathTest, DefaultStartUsesDefaultsAndAStdoutConsole) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        std::string wrong;
        if (KERNELCFG != nullptr || Console != nullptr) wrong += "started ";
        os_startup(0, 0, nullptr);
        if (KERNELCFG != &default_cfg) wrong += "config ";
        if (default_cfg.buf_size[3] != 1740 || default_cfg.link_qty != 4000)
          wrong += "defaults ";
        if (dynamic_cast<PCConsole*>(Console) == nullptr) wrong += "console ";
        ::testing::internal::CaptureStdout();
        Console->Print("on %s", "stdout");
        const std::string out = ::testing::internal::GetCapturedStdout();
        if (!std::regex_match(out, std::regex("[0-9]{2}:[0-9]{2}:[0-9]{2}"
                                              "\\.[0-9]{3} on stdout\r\n")))
          wrong += "output " + out;
        std::fputs(wrong.c_str(), stderr);
        exit(wrong.empty() ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "^$");
}

TEST(OsStartup, CleanupReleasesThePoolsAndStartupRefillsThem) {
  os_startup(0, 0, nullptr);
  OSBuf* held = OSBuf::Alloc(10);
  held->AddDataCallback(
      OSCallback::Alloc(nullptr, nullptr, nullptr, nullptr, 0));
  os_cleanup();  // with a buffer, its callback and its pool link in use

  os_startup(0, 0, nullptr);
  EXPECT_EQ(OSBuf::PoolSize(1), 25);
  EXPECT_EQ(OSBuf::allocated_list->Size(), 0);
  EXPECT_EQ(OSCallback::callback_pool_size, 400);
  EXPECT_EQ(OSLink::link_pool_size, 4000);
  OSBuf* buf = OSBuf::Alloc("again");
  EXPECT_EQ(buf->length, 5);
  buf->Free();
}

TEST(OsStartupDeathTest, LocksTornDownBeforeExitFinishesAreHarmless) {
  EXPECT_EXIT(
      {
        os_startup(0, 0, nullptr);
        Console->SetOutput(stderr);
        takes_lock_at_exit.lock = &torn_down;
        exit(0);
      },
      ::testing::ExitedWithCode(0), "");
}

}  // namespace
