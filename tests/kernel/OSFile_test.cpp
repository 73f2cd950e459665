#include "kernel/OSFile.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace {

class OSFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/osfile_testXXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir = pattern;
    file = dir + "/file";
    int fd = open(file.c_str(), O_WRONLY | O_CREAT, 0600);
    ASSERT_EQ(write(fd, "abc", 3), 3);
    close(fd);
    link = dir + "/link";
    ASSERT_EQ(symlink(file.c_str(), link.c_str()), 0);
    fifo = dir + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  }
  void TearDown() override {
    for (const std::string& p : {file, link, fifo, dir + "/new"}) {
      unlink(p.c_str());
    }
    rmdir(dir.c_str());
  }

  std::string dir, file, link, fifo;
};

TEST_F(OSFileTest, OpensRegularFilesInBlockingMode) {
  struct stat st;
  int fd = OpenRegularFile(file.c_str(), O_RDONLY, OSLinks::kRefuse, &st);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(st.st_size, 3);
  EXPECT_EQ(fcntl(fd, F_GETFL) & O_NONBLOCK, 0);
  EXPECT_NE(fcntl(fd, F_GETFD) & FD_CLOEXEC, 0);
  close(fd);

  fd = OpenRegularFile((dir + "/new").c_str(), O_RDWR | O_CREAT,
                       OSLinks::kRefuse, &st, 0640);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
  close(fd);
}

TEST_F(OSFileTest, RefusesLinksUnlessAskedAndNeverBlocksOnAFifo) {
  struct Case {
    const std::string& path;
    OSLinks links;
    int error;  // 0: opens
  } cases[] = {
      {link, OSLinks::kRefuse, ELOOP},  {link, OSLinks::kFollow, 0},
      {fifo, OSLinks::kFollow, EINVAL},  // would block for ever without a
      {fifo, OSLinks::kRefuse, EINVAL},  // writer if opened normally
      {dir, OSLinks::kFollow, EINVAL},
  };
  for (const Case& c : cases) {
    errno = 0;
    int fd = OpenRegularFile(c.path.c_str(), O_RDONLY, c.links);
    if (c.error == 0) {
      EXPECT_GE(fd, 0) << c.path;
      close(fd);
    } else {
      EXPECT_EQ(fd, -1) << c.path;
      EXPECT_EQ(errno, c.error) << c.path;
    }
  }
}

}  // namespace
