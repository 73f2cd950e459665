#include "kernel/OSCallback.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "kernel/OSBuf.h"
#include "kernel/OSConsole.h"
#include "kernel/OSKernel.h"

namespace {

// What one call of Capture saw.
struct Call {
  OSObj* object;
  void* addr;
  DWORD value;
};

std::vector<Call> calls;

void Capture(OSObj* object, void* addr, DWORD value) {
  calls.push_back({object, addr, value});
}

class OSCallbackTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    os_startup(0, 0, nullptr);
  }
  void SetUp() override {
    Console->SetOutput(stderr);
    calls.clear();
  }
  void TearDown() override { EXPECT_EQ(OSCallback::callback_pool_size, 400); }
};

TEST_F(OSCallbackTest, AllocFillsTheRecordAndExecuteCallsWithItsArguments) {
  OSListObj target;
  int where = 0;
  OSCallback* cb =
      OSCallback::Alloc(nullptr, Capture, &target, &where, 0xDEADBEEFUL);
  ASSERT_NE(cb, nullptr);
  cb->Execute();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].object, &target);
  EXPECT_EQ(calls[0].addr, &where);
  EXPECT_EQ(calls[0].value, 0xDEADBEEFu);
  cb->Free();
}

TEST_F(OSCallbackTest, The401stAllocationWarnsAndReturnsNull) {
  std::vector<OSCallback*> held;
  for (int i = 0; i < 400; i++) {
    OSCallback* cb = OSCallback::Alloc(nullptr, Capture, nullptr, nullptr, i);
    ASSERT_NE(cb, nullptr) << i;
    held.push_back(cb);
  }
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(OSCallback::Alloc(nullptr, Capture, nullptr, nullptr, 0), nullptr);
  const std::string out = ::testing::internal::GetCapturedStderr();
  EXPECT_NE(out.find("WARNING:\r\n"), std::string::npos) << out;
  EXPECT_NE(out.find("OSCallback::Alloc Out Of Callbacks\r\n"),
            std::string::npos)
      << out;
  for (OSCallback* cb : held) cb->Free();
}

TEST_F(OSCallbackTest, FreeingTwiceEndsTheProcess) {
  OSCallback* cb = OSCallback::Alloc(nullptr, Capture, nullptr, nullptr, 0);
  cb->Free();
  EXPECT_DEATH(cb->Free(), "OSCallback::Free already free");
}

TEST_F(OSCallbackTest, FreeLeavesTheRecordAndTheListItWaitsIn) {
  OSCallbackRecord record;
  OSBuf* buf = OSBuf::Alloc(0);
  OSCallback* kept = OSCallback::Alloc(&record, Capture, nullptr, nullptr, 1);
  OSCallback* dropped =
      OSCallback::Alloc(&record, Capture, nullptr, nullptr, 2);
  EXPECT_EQ(kept->callback_record, &record);
  EXPECT_EQ(record.Size(), 2);
  buf->AddDataCallback(kept);
  buf->AddDataCallback(dropped);
  dropped->Free();
  EXPECT_EQ(record.Size(), 1);
  EXPECT_EQ(buf->data_free_callback.ListLength(), 1);
  buf->Free();  // runs only the callback still waiting
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].value, 1u);
  EXPECT_EQ(record.Size(), 0);
}

TEST_F(OSCallbackTest, CancelCallbacksReleasesWithoutRunning) {
  OSBuf* buf = OSBuf::Alloc(0);
  OSCallback* other = OSCallback::Alloc(nullptr, Capture, nullptr, nullptr, 9);
  {
    OSCallbackRecord record;
    buf->AddDataCallback(
        OSCallback::Alloc(&record, Capture, nullptr, nullptr, 1));
    buf->AddBufferCallback(
        OSCallback::Alloc(&record, Capture, nullptr, nullptr, 2));
    buf->AddBufferCallback(other);
    OSCallback::Alloc(&record, Capture, nullptr, nullptr, 3);  // waits nowhere
    EXPECT_EQ(OSCallback::callback_pool_size, 396);
    record.CancelCallbacks();
    EXPECT_EQ(record.Size(), 0);
    EXPECT_EQ(OSCallback::callback_pool_size, 399);
    EXPECT_EQ(buf->data_free_callback.ListLength(), 0);
    EXPECT_EQ(buf->buffer_free_callback.ListLength(), 1);

    // The destructor cancels what is registered by then.
    buf->AddDataCallback(
        OSCallback::Alloc(&record, Capture, nullptr, nullptr, 4));
  }
  EXPECT_EQ(buf->data_free_callback.ListLength(), 0);
  buf->Free();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].value, 9u);
}

}  // namespace
