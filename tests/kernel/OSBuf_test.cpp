#include "kernel/OSBuf.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <regex>
#include <string>
#include <vector>

#include "kernel/OSCallback.h"
#include "kernel/OSConsole.h"
#include "kernel/OSKernel.h"
#include "support/Bytes.h"

namespace {

const int kDefaultQty[OSBuf::kSizeClasses] = {100, 25, 25, 55};

// Appends the value to the std::string passed as `addr`.
void Record(OSObj*, void* addr, DWORD value) {
  *static_cast<std::string*>(addr) += std::to_string(value);
}

void WriteOob(OSObj*, void*, DWORD) { std::fputs("oob handler ran\n", stderr); }

// Every test starts from the default pools and must leave them full again.
class OSBufTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    os_startup(0, 0, nullptr);
  }
  void SetUp() override { Console->SetOutput(stderr); }
  void TearDown() override {
    for (int c = 0; c < OSBuf::kSizeClasses; c++) {
      EXPECT_EQ(OSBuf::PoolSize(c), kDefaultQty[c]) << "class " << c;
    }
    EXPECT_EQ(OSBuf::allocated_list->Size(), 0);
    EXPECT_EQ(OSCallback::callback_pool_size, 400);
  }
};

TEST_F(OSBufTest, AllocTakesTheSmallestClassLargerThanTheRequest) {
  const int requests[] = {0, 1, 99, 100, 599, 600, 1739};
  const unsigned short sizes[] = {0, 100, 100, 600, 600, 1740, 1740};
  for (int i = 0; i < 7; i++) {
    OSBuf* buf = OSBuf::Alloc(requests[i]);
    EXPECT_EQ(buf->size, sizes[i]) << requests[i];
    EXPECT_EQ(buf->length, 0);
    EXPECT_EQ(buf->data, buf->payload + buf->size);
    EXPECT_EQ(buf->payload == nullptr, sizes[i] == 0);
    EXPECT_GE(OSBuf::allocated_list->PosInList(buf), 0);
    buf->Free();
  }
}

TEST_F(OSBufTest, ExhaustedClassFallsThroughToTheNextLarger) {
  std::vector<OSBuf*> held;
  for (int i = 0; i < kDefaultQty[1]; i++) held.push_back(OSBuf::Alloc(10));
  OSBuf* spill = OSBuf::Alloc(10);
  EXPECT_EQ(spill->size, 600);
  EXPECT_EQ(OSBuf::min_count[1], 0);
  spill->Free();
  for (OSBuf* buf : held) buf->Free();
}

TEST_F(OSBufTest, RequestsNoClassCanHoldEndTheProcess) {
  OSBuf::oob_callback = WriteOob;
  OSBuf* held = BufOf("abc");
  EXPECT_DEATH(OSBuf::Alloc(1740), "OSBuffer::Alloc Out Of Buffers 1740");
  EXPECT_DEATH(OSBuf::Alloc(1740),
               "Buf: buf 0x[0-9a-f]+, data=0x[0-9a-f]+, size 100, len 3");
  EXPECT_DEATH(OSBuf::Alloc(1740), "oob handler ran");
  // Sizes are never cut down to fit: 32867 must not yield a 100-byte buffer.
  EXPECT_DEATH(OSBuf::Alloc(32768 + 99),
               "OSBuffer::Alloc Out Of Buffers 32867");
  EXPECT_DEATH(OSBuf::Alloc(-5), "OSBuffer::Alloc Out Of Buffers -5");
  EXPECT_DEATH(
      {
        static_cast<OSBuf*>(OSBuf::buffer_pool[2].FirstObject())->id = 0;
        OSBuf::Alloc(200);
      },
      "OSBuf::Alloc - Corrupt");
  OSBuf::oob_callback = nullptr;
  held->Free();
}

TEST_F(OSBufTest, PushedDataComesBackInOrderLeastSignificantByteFirst) {
  OSBuf* buf = OSBuf::Alloc("!?");
  EXPECT_GE(buf->data - buf->payload, KERNELCFG->buf_min_space);
  EXPECT_EQ(Text(buf), "!?");  // no terminator
  buf->PushData("ab");
  buf->PushData(static_cast<unsigned char>(0xEE));
  buf->PushData(static_cast<unsigned short>(0xBEEF));
  buf->PushData(-2);
  buf->PushData(0xAB11223344UL);  // only the low 32 bits
  ASSERT_EQ(buf->length, 15);
  EXPECT_EQ(buf->data[0], 0x44);
  EXPECT_EQ(buf->PullLong(), 0x11223344UL);
  EXPECT_EQ(buf->PullInt(), -2);
  EXPECT_EQ(buf->PullWord(), 0xBEEF);
  EXPECT_EQ(buf->PullByte(), 0xEE);
  UBYTE two[2];
  buf->PullData(two, 2);
  EXPECT_EQ(two[1], 'b');
  buf->PullUp(1);
  EXPECT_EQ(Text(buf), "?");
  buf->Free();
}

TEST_F(OSBufTest, PushingOrPullingPastTheDataEndsTheProcess) {
  OSBuf* buf = OSBuf::Alloc(10);  // 100-byte area, empty at its end
  EXPECT_DEATH(buf->PushDown(101), "OSBuf::Pushdown Too far");
  std::vector<UBYTE> big(101, 'x');
  EXPECT_DEATH(buf->PushData(big.data(), 101), "OSBuf::PushData Too far");
  EXPECT_DEATH(buf->PushData(big.data() + 1, big.data()),
               "OSBuf::PushData Too far");
  buf->PushDown(100);  // exactly fills the area
  EXPECT_DEATH(buf->PushData(static_cast<unsigned char>(1)),
               "OSBuf::PushData Too far");
  buf->PullUp(97);
  EXPECT_DEATH(buf->PullLong(), "OSBuf::Pull Too far");
  EXPECT_DEATH(buf->PullUp(4), "OSBuf::Pull Too far");
  buf->Free();

  OSBuf* empty = OSBuf::Alloc(0);  // no data area at all
  EXPECT_DEATH(empty->PushData(static_cast<unsigned char>(1)),
               "OSBuf::PushData Too far");
  EXPECT_DEATH(empty->PullByte(), "OSBuf::Pull Too far");
  empty->Free();
}

TEST_F(OSBufTest, FreeDetectsMisuseAndCorruption) {
  OSBuf* buf = OSBuf::Alloc(10);
  buf->PushDown(10);
  EXPECT_DEATH(
      {
        buf->length = 11;  // one byte written past the area
        buf->data[10] = 'x';
        buf->Free();
      },
      "OSBuf::Free - Corrupted Overhang \\(size 100, data 90, length 11, "
      "overrun 1\\)");
  EXPECT_DEATH(
      {
        buf->payload[buf->size + OSBuf::kGuardSize - 1] =
            0;  // end of the guard
        buf->Free();
      },
      "Corrupted Overhang");
  EXPECT_DEATH(
      {
        buf->data = buf->payload - 1;
        buf->Free();
      },
      "OSBuf::Free - Corrupted buffer - pushed down too far");
  EXPECT_DEATH(
      {
        buf->id = 0;
        buf->Free();
      },
      "OSBuf::Free - Corrupt\n");
  EXPECT_EQ(static_cast<OSBuf*>(OSBuf::buffer_pool[3].LastObject())->length,
            OSBuf::kNeverAllocated);
  buf->Free();
  EXPECT_EQ(buf->length, OSBuf::kReleased);
  EXPECT_EQ(OSBuf::buffer_pool[1].FirstObject(), static_cast<OSListObj*>(buf));
  EXPECT_DEATH(buf->Free(), "OSBuffer::Free freed twice 0x[0-9a-f]+ 100");
}

TEST_F(OSBufTest, FreeRunsDataCallbacksThenBufferCallbacks) {
  std::string log;
  OSBuf* buf = OSBuf::Alloc(0);
  buf->AddBufferCallback(OSCallback::Alloc(nullptr, Record, nullptr, &log, 3));
  buf->AddDataCallback(OSCallback::Alloc(nullptr, Record, nullptr, &log, 1));
  buf->AddDataCallback(OSCallback::Alloc(nullptr, Record, nullptr, &log, 2));
  buf->AddDataCallback(nullptr);  // an exhausted pool's null is ignored
  EXPECT_EQ(OSCallback::callback_pool_size, 397);
  buf->Free();
  EXPECT_EQ(log, "123");
}

TEST_F(OSBufTest, CompactMovesEverythingThatFitsAndFreesTheSource) {
  std::string log;
  OSBuf* target = OSBuf::Alloc(550);
  target->PushData(reinterpret_cast<const UBYTE*>("0123456789abcdefghij"), 20);
  OSBuf* source = BufOf("KLMNOPQRST");
  source->AddDataCallback(OSCallback::Alloc(nullptr, Record, nullptr, &log, 9));
  EXPECT_EQ(target->Compact(source, 0), nullptr);
  EXPECT_EQ(source->length, OSBuf::kReleased);
  EXPECT_EQ(log, "");  // the data lives on in the target
  EXPECT_EQ(Text(target), "0123456789abcdefghijKLMNOPQRST");
  EXPECT_EQ(target->data, target->payload + KERNELCFG->buf_min_space);
  target->Free();
  EXPECT_EQ(log, "9");
}

TEST_F(OSBufTest, CompactStopsAtTheRoomOrTheLengthLimit) {
  // 100-byte target holding 40: 10 bytes of room after the headroom.
  OSBuf* target = BufOf(std::string(40, 't'));
  OSBuf* source = BufOf("0123456789ABCDEFGHIJKLMNO");
  EXPECT_EQ(target->Compact(source, 0), source);
  EXPECT_EQ(Text(target).substr(40), "0123456789");
  EXPECT_EQ(Text(source), "ABCDEFGHIJKLMNO");
  EXPECT_EQ(target->Compact(source, 0), source);  // full now
  EXPECT_EQ(source->length, 15);
  target->Free();

  OSBuf* limited = OSBuf::Alloc("twenty bytes of data");
  EXPECT_EQ(limited->Compact(source, 25), source);
  EXPECT_EQ(limited->length, 25);
  EXPECT_EQ(Text(source), "FGHIJKLMNO");
  limited->Free();
  source->Free();
}

TEST_F(OSBufTest, DuplicateCopyDataAndCallerPayload) {
  OSBuf* buf = BufOf("original");
  buf->trace = 1;
  OSBuf* copy = buf->Duplicate();
  EXPECT_EQ(Text(copy), "original");
  EXPECT_EQ(copy->trace, 1);
  copy->Free();
  // 49 bytes plus the headroom fit the 100-byte area: reused; 50 do not.
  const std::string fifty = std::string(49, 'L') + "!";
  const UBYTE* src = reinterpret_cast<const UBYTE*>(fifty.data());
  EXPECT_EQ(buf->CopyData(src, 49), buf);
  EXPECT_EQ(Text(buf), fifty.substr(0, 49));
  OSBuf* other = buf->CopyData(src, 50);
  EXPECT_EQ(buf->length, OSBuf::kReleased);
  EXPECT_EQ(other->size, 600);
  EXPECT_EQ(Text(other), fifty);

  // Caller memory: no guard is looked for after it, and Free gives the
  // buffer its own area back.
  UBYTE caller[3] = {1, 0, 2};
  UBYTE* own = other->payload;
  other->SetPayload(caller, sizeof(caller));
  EXPECT_EQ(other->PullWord(), 1);
  EXPECT_EQ(other->PullByte(), 2);
  other->Free();
  EXPECT_EQ(other->payload, own);
  EXPECT_EQ(other->size, 600);
}

TEST_F(OSBufTest, PrintWritesTheHeaderAndAHexDump) {
  OSBuf* buf = BufOf(std::string("Hello, world! 0123456789\x01", 25));
  ::testing::internal::CaptureStderr();
  buf->Print();
  const std::string out = ::testing::internal::GetCapturedStderr();
  EXPECT_TRUE(std::regex_search(
      out,
      std::regex("Buf: buf 0x[0-9a-f]+, data=0x[0-9a-f]+, size 100, len 25, "
                 "age 0s, ptr \\(nil\\)\r\n")))
      << out;
  EXPECT_NE(out.find("0000  48 65 6c 6c 6f 2c 20 77 6f 72 6c 64 21 20 30 31  "
                     "Hello, world! 01\r\n"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("0010  32 33 34 35 36 37 38 39 01" +
                     std::string(7 * 3, ' ') + "  23456789.\r\n"),
            std::string::npos)
      << out;

  // A destination that names a symbol adds its name and the addresses.
  buf->destPtr = reinterpret_cast<void*>(&std::fclose);
  buf->local_ipaddr = inet_addr("10.0.0.1");
  buf->local_port = htons(80);
  buf->remote_ipaddr = inet_addr("10.0.0.2");
  buf->remote_port = htons(4000);
  ::testing::internal::CaptureStderr();
  buf->Print();
  const std::string named = ::testing::internal::GetCapturedStderr();
  EXPECT_TRUE(std::regex_search(
      named, std::regex("ptr 0x[0-9a-f]+ \\(\\w*fclose\\w*\\) "
                        "\\[10\\.0\\.0\\.1:80,10\\.0\\.0\\.2:4000\\]\r\n")))
      << named;
  buf->Free();
}

TEST_F(OSBufTest, DumpAllocatedListsBuffersAndPoolCounts) {
  OSBuf* buf = BufOf("x");
  OSCallback* cb = OSCallback::Alloc(nullptr, Record, nullptr, nullptr, 0);
  ::testing::internal::CaptureStderr();
  OSBuf::dump_allocated();
  const std::string out = ::testing::internal::GetCapturedStderr();
  char counts[80];
  std::snprintf(counts, sizeof(counts),
                "OSBuffer: L=%04d CB=0399 B=100,24,25,55\r\n",
                OSLink::link_pool_size);
  EXPECT_NE(out.find("size 100, len 1"), std::string::npos) << out;
  EXPECT_NE(out.find(counts), std::string::npos) << out;
  cb->Free();
  buf->Free();
}

}  // namespace
