#include "kernel/OSQueue.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "kernel/OSBuf.h"
#include "kernel/OSKernel.h"
#include "support/Bytes.h"

namespace {

// Records every notification it receives, in a log shared between triggers.
class RecordingTrigger : public OSQueueTrigger {
 public:
  RecordingTrigger(char tag, std::string* log) : tag_(tag), log_(log) {}
  void Trigger(OSQueue* queue) override {
    *log_ += tag_;
    last_queue = queue;
    sizes.push_back(queue->Size());
  }

  OSQueue* last_queue = nullptr;
  std::vector<int> sizes;  // queue size seen at each notification

 private:
  char tag_;
  std::string* log_;
};

// A queue element that counts how it leaves: released (Free) or deleted.
class Item : public OSLinkListObj {
 public:
  Item(int* freed, int* deleted) : freed_(freed), deleted_(deleted) {}
  ~Item() override { ++*deleted_; }
  void Free() override { ++*freed_; }

 private:
  int* freed_;
  int* deleted_;
};

class OSQueueTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { os_startup(0, 0, nullptr); }
};

TEST_F(OSQueueTest, EveryChangeNotifiesTheTriggersInOrder) {
  std::string log;
  RecordingTrigger first('1', &log), second('2', &log);
  OSListObj plain;  // not a trigger: skipped
  int freed = 0, deleted = 0;
  Item a(&freed, &deleted), b(&freed, &deleted);
  {
    OSQueue queue;
    queue.TriggerList()->Append(&first);
    queue.TriggerList()->Append(&plain);
    queue.TriggerList()->Append(&second);
    queue.Append(&a);
    EXPECT_EQ(log, "12");
    EXPECT_EQ(first.last_queue, &queue);
    queue.Insert(&b);
    queue.Remove(&a);
    queue.Flush();  // releases b
    EXPECT_EQ(log, "12121212");
    EXPECT_EQ(first.sizes, (std::vector<int>{1, 2, 1, 0}));
    EXPECT_EQ(freed, 1);
  }
  EXPECT_EQ(log, "12121212");  // destruction forgets the triggers first
  EXPECT_EQ(deleted, 0);       // and never deletes them or borrowed elements
}

TEST_F(OSQueueTest, DestructionReleasesOrDeletesByOwnership) {
  int freed = 0, deleted = 0;
  {
    OSQueue owning(1);
    owning.Append(new Item(&freed, &deleted));
    owning.Append(new Item(&freed, &deleted));
  }
  EXPECT_EQ(deleted, 2);
  EXPECT_EQ(freed, 0);
  Item kept(&freed, &deleted);
  {
    OSQueue borrowing;
    borrowing.Append(&kept);
  }
  EXPECT_EQ(freed, 1);
  EXPECT_EQ(deleted, 2);
  EXPECT_EQ(kept.object, nullptr);
}

TEST_F(OSQueueTest, ProtectedQueuePacksBuffersUpTo1400Bytes) {
  OSProtectedQueue queue;
  queue.AppendBufAndCompact(BufOf("0123456789"));
  queue.AppendBufAndCompact(BufOf("abcdefghij"));
  queue.AppendBufAndCompact(nullptr);
  ASSERT_EQ(queue.Size(), 1);
  OSBuf* buf = queue.FirstBufAndRemove();
  EXPECT_EQ(Text(buf), "0123456789abcdefghij");
  buf->Free();
  EXPECT_EQ(queue.FirstBufAndRemove(), nullptr);

  queue.AppendBufAndCompact(BufOf(std::string(1390, 'x')));
  queue.AppendBufAndCompact(BufOf(std::string(30, 'y')));
  ASSERT_EQ(queue.Size(), 2);
  OSBuf* first = queue.FirstBufAndRemove();
  OSBuf* second = queue.FirstBufAndRemove();
  EXPECT_EQ(Text(first), std::string(1390, 'x') + std::string(10, 'y'));
  EXPECT_EQ(Text(second), std::string(20, 'y'));
  first->Free();
  second->Free();

  // A last buffer already beyond the limit is left as it is.
  queue.AppendBufAndCompact(BufOf(std::string(1500, 'z')));
  queue.AppendBufAndCompact(BufOf("tail"));
  EXPECT_EQ(queue.Size(), 2);
  queue.Flush();  // frees both

  int freed = 0, deleted = 0;
  Item item(&freed, &deleted);
  queue.Append(&item);
  EXPECT_EQ(queue.FirstBufAndRemove(), nullptr);  // not a buffer: stays
  EXPECT_EQ(queue.LastObject(), &item);
  queue.Remove(&item);
}

TEST_F(OSQueueTest, ProtectedQueueHandsBuffersBetweenThreads) {
  OSProtectedQueue queue;
  constexpr std::size_t kBuffers = 2000;
  std::string received;
  std::thread consumer([&] {
    while (received.size() < kBuffers) {
      if (OSBuf* buf = queue.FirstBufAndRemove()) {
        received += Text(buf);
        buf->Free();
      } else {
        std::this_thread::yield();
      }
    }
  });
  std::string sent;
  for (std::size_t i = 0; i < kBuffers; i++) {
    const std::string one(1, static_cast<char>('a' + i % 26));
    sent += one;
    queue.AppendBufAndCompact(BufOf(one));
  }
  consumer.join();
  EXPECT_EQ(received, sent);
  EXPECT_EQ(queue.Size(), 0);
}

}  // namespace
