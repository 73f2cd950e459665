#include "kernel/OSStream.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "kernel/OSBuf.h"
#include "kernel/OSCallback.h"
#include "kernel/OSConsole.h"
#include "kernel/OSKernel.h"
#include "support/Bytes.h"

namespace {

const int kDefaultQty[OSBuf::kSizeClasses] = {100, 25, 25, 55};

// Every byte the stream holds, read without consuming.
std::string Contents(OSStream& stream) {
  std::string out(stream.Length(), '\0');
  out.resize(stream.Read(0, out.size(), reinterpret_cast<UBYTE*>(&out[0])));
  return out;
}

// The lengths of the stream's buffers, front to back.
std::vector<int> Lengths(OSStream& stream) {
  std::vector<int> out;
  OSListIterator it(&stream);
  while (OSListObj* obj = it.Next())
    out.push_back(static_cast<OSBuf*>(obj)->length);
  return out;
}

// Records the values of the callbacks that ran, in order.
std::vector<DWORD> ran;

void Note(OSObj*, void*, DWORD value) { ran.push_back(value); }

// A buffer holding `text` whose data release runs Note(`tag`).
OSBuf* TaggedBuf(const std::string& text, DWORD tag) {
  OSBuf* buf = BufOf(text);
  buf->AddDataCallback(OSCallback::Alloc(nullptr, Note, nullptr, nullptr, tag));
  return buf;
}

// Every test must leave the buffer and callback pools full again.
class OSStreamTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { os_startup(0, 0, nullptr); }
  void SetUp() override {
    Console->SetOutput(stderr);
    ran.clear();
  }
  void TearDown() override {
    for (int c = 0; c < OSBuf::kSizeClasses; c++) {
      EXPECT_EQ(OSBuf::PoolSize(c), kDefaultQty[c]) << "class " << c;
    }
    EXPECT_EQ(OSCallback::callback_pool_size, 400);
  }
};

TEST_F(OSStreamTest, ReadsAndDiscardsAcrossBuffers) {
  OSStream stream(0, 0);
  stream.Add(BufOf("abc"));
  stream.Add(BufOf("defgh"));
  EXPECT_EQ(stream.Length(), 8u);
  EXPECT_EQ(stream.Size(), 2);

  UBYTE out[8] = {};
  EXPECT_EQ(stream.Read(2, 3, out), 3u);
  EXPECT_EQ(Text(out, 3), "cde");
  EXPECT_EQ(stream.Read(6, 5, out), 2u);  // only what is held
  EXPECT_EQ(Text(out, 2), "gh");
  EXPECT_EQ(stream.Length(), 8u);  // reading consumes nothing

  const int free_before = OSBuf::PoolSize(1);
  EXPECT_EQ(stream.Discard(4), 4u);
  EXPECT_EQ(OSBuf::PoolSize(1), free_before + 1);  // the first buffer went
  EXPECT_EQ(stream.Size(), 1);
  EXPECT_EQ(stream.Length(), 4u);
  EXPECT_EQ(Contents(stream), "efgh");
  EXPECT_EQ(stream.Discard(100), 4u);
  EXPECT_EQ(stream.Size(), 0);
}

TEST_F(OSStreamTest, ByteAndBufferReads) {
  OSStream stream(0, 0);
  UBYTE c = 0;
  EXPECT_EQ(stream.Getc(), -1);
  EXPECT_FALSE(stream.Get(&c));
  EXPECT_EQ(stream.Get(), nullptr);

  stream.Add(reinterpret_cast<const UBYTE*>("x"), 1);
  stream.Add("yz");
  EXPECT_EQ(stream.Getc(), 'x');
  EXPECT_TRUE(stream.Get(&c));
  EXPECT_EQ(c, 'y');
  EXPECT_EQ(stream.Length(), 1u);

  stream.Add("second");
  OSBuf* first = stream.Get();
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(Text(first), "z");
  EXPECT_EQ(stream.Length(), 6u);
  first->Free();  // the caller owns what Get returns
  EXPECT_EQ(stream.Getc(), 's');
}

TEST_F(OSStreamTest, TheOldestBufferGoesBeyondTheBufferLimit) {
  OSStream stream(0, 0);
  stream.SetMaxLength(1000, 2);
  stream.Add(TaggedBuf("one", 1));
  stream.Add(BufOf("two"));
  EXPECT_TRUE(stream.IsFull());  // two buffers reach the limit
  stream.Add(BufOf("three"));
  EXPECT_EQ(stream.Size(), 2);
  EXPECT_EQ(Contents(stream), "twothree");
  EXPECT_EQ(stream.Length(), 8u);
  EXPECT_EQ(ran, std::vector<DWORD>{1});  // freed with its data
}

TEST_F(OSStreamTest, CompressibleStreamPacksSmallBuffersTogether) {
  OSStream stream(1, 0);
  for (const char* piece : {"0123456789", "abcdefghij", "ABCDEFGHIJ"}) {
    stream.Add(BufOf(piece));
  }
  EXPECT_EQ(stream.Size(), 1);
  EXPECT_EQ(stream.Length(), 30u);
  EXPECT_EQ(Contents(stream), "0123456789abcdefghijABCDEFGHIJ");
  EXPECT_EQ(OSBuf::PoolSize(1), kDefaultQty[1] - 1);  // the others were freed
}

TEST_F(OSStreamTest, CompressibleStreamKeepsBuffersWithinTheFragmentSize) {
  OSStream stream(0, 0);
  stream.SetCompressible(1);
  stream.SetMaxFragment(20);
  stream.Add(BufOf("0123456789abcdefghijABCDEFGHIJKLMNOPQRS"));  // 39 bytes
  EXPECT_EQ(Lengths(stream), (std::vector<int>{20, 19}));
  stream.Add(BufOf("xyz"));
  EXPECT_EQ(Lengths(stream), (std::vector<int>{20, 20, 2}));
  EXPECT_EQ(Contents(stream), "0123456789abcdefghijABCDEFGHIJKLMNOPQRSxyz");
  EXPECT_EQ(stream.Length(), 42u);
}

TEST_F(OSStreamTest, ChunkCallbacksRunOnceAllTheirBytesHaveLeft) {
  OSStream stream(1, 0);
  stream.Add(TaggedBuf("aaaaaaaaaa", 1));
  stream.Add(TaggedBuf("bbbbbbbbbb", 2));  // packed into the first buffer
  EXPECT_EQ(stream.Size(), 1);
  EXPECT_TRUE(ran.empty());
  stream.Discard(5);
  EXPECT_TRUE(ran.empty());  // half of the first chunk is still held
  stream.Discard(5);
  EXPECT_EQ(ran, std::vector<DWORD>{1});
  for (int i = 0; i < 9; i++) stream.Getc();
  EXPECT_EQ(ran, std::vector<DWORD>{1});
  stream.Getc();
  EXPECT_EQ(ran, (std::vector<DWORD>{1, 2}));

  stream.Add(TaggedBuf("cc", 3));
  stream.Add(TaggedBuf("dd", 4));
  OSBuf* whole = stream.Get();  // one buffer holding both chunks
  EXPECT_EQ(ran, (std::vector<DWORD>{1, 2, 3, 4}));
  whole->Free();

  stream.Add(TaggedBuf("ee", 5));
  stream.Flush();
  EXPECT_EQ(ran, (std::vector<DWORD>{1, 2, 3, 4, 5}));
  EXPECT_EQ(stream.Length(), 0u);
}

TEST_F(OSStreamTest, AFullChunkRingNeverRunsACallbackEarly) {
  OSStream stream(1, 0);
  const int kChunks = 40;  // more than the ring's 32 slots
  for (int i = 0; i < kChunks; i++) stream.Add(TaggedBuf("xy", i));
  EXPECT_EQ(stream.Length(), 80u);
  for (int i = 0; i < kChunks; i++) {
    stream.Getc();
    // Chunk i's first byte has gone, its second is still held.
    for (DWORD tag : ran)
      EXPECT_LT(tag, static_cast<DWORD>(i)) << "early at " << i;
    stream.Getc();
  }
  ASSERT_EQ(ran.size(), static_cast<size_t>(kChunks));
  for (int i = 0; i < kChunks; i++) EXPECT_EQ(ran[i], static_cast<DWORD>(i));
}

TEST_F(OSStreamTest, DestructionFreesBuffersAndRunsPendingCallbacks) {
  {
    OSStream stream(1, 1);  // buffers are freed, never deleted
    stream.Add(TaggedBuf("abc", 7));
    stream.Add(std::string(300, 'z').c_str());
    stream.Add(BufOf("tail"));
  }
  EXPECT_EQ(ran, std::vector<DWORD>{7});
  {
    OSStream plain(0, 1);
    plain.Add(TaggedBuf("abc", 8));
  }
  EXPECT_EQ(ran, (std::vector<DWORD>{7, 8}));
}

}  // namespace
