// How the program tells that a FastCGI process manager started it, and the
// settings value that bounds a worker's requests.
#include "app/FastCgiWorker.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

TEST(FastCgiWorkerTest, RequestLimitFromSettings) {
  const struct {
    const char* value;
    long limit;
  } cases[] = {
      {nullptr, kDefaultWorkerRequests},
      {"", kDefaultWorkerRequests},
      {"1", 1},
      {"250", 250},
      {"0", kDefaultWorkerRequests},
      {"-5", kDefaultWorkerRequests},
      {"+5", kDefaultWorkerRequests},
      {" 5", kDefaultWorkerRequests},
      {"5x", kDefaultWorkerRequests},
      {"abc", kDefaultWorkerRequests},
      {"99999999999999999999", 1000000000L},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(WorkerRequestLimit(c.value), c.limit)
        << (c.value != nullptr ? c.value : "(null)");
  }
}

// Standard input of each kind, and whether it means FastCGI mode.
TEST(FastCgiWorkerTest, StartedOnlyOnAListeningSocket) {
  const int saved = dup(STDIN_FILENO);
  ASSERT_GE(saved, 0);
  int pair[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
  const int listening = socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_EQ(listen(listening, 1), 0);
  const int null_fd = open("/dev/null", O_RDONLY);
  const struct {
    int fd;
    bool started;
  } cases[] = {{null_fd, false}, {pair[0], false}, {listening, true}};
  for (const auto& c : cases) {
    ASSERT_EQ(dup2(c.fd, STDIN_FILENO), STDIN_FILENO);
    EXPECT_EQ(FastCgiWorker::Started(), c.started) << c.fd;
  }
  dup2(saved, STDIN_FILENO);
  for (int fd : {saved, pair[0], pair[1], listening, null_fd}) close(fd);
}

}  // namespace
