// The locked file: opening plain files only and without creating them,
// truncation in write mode, and waiting for a lock that another process
// releases. (The 10-second time-out itself is covered once, in the session
// tests.)
#include "cgiFramework/LockedFile.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>

#include "tests/cgiFramework/WebTestSupport.h"

namespace {

class LockedFileTest : public webtest::SiteFixture {
 protected:
  std::string Path() const { return root + "/locked"; }
};

TEST_F(LockedFileTest, OpensExistingFilesOnly) {
  for (const char* mode : {"r", "w"}) {
    LockedFile file(Path().c_str(), mode);
    EXPECT_EQ(file.fp, nullptr) << mode;
  }
  EXPECT_EQ(access(Path().c_str(), F_OK), -1);

  WriteFile(Path(), "old content that is long\n");
  {
    LockedFile file(Path().c_str(), "w");
    ASSERT_NE(file.fp, nullptr);
    fputs("new\n", file);
  }
  EXPECT_EQ(ReadFile(Path()), "new\n");
}

// Every mode refuses, without blocking or following, what is not a plain
// file; "r+" keeps the content for rewriting in place.
TEST_F(LockedFileTest, OpensPlainFilesOnly) {
  const std::string target = root + "/target";
  WriteFile(target, "kept\n");
  ASSERT_EQ(symlink(target.c_str(), (root + "/link").c_str()), 0);
  ASSERT_EQ(mkfifo((root + "/fifo").c_str(), 0600), 0);
  for (const char* name : {"/link", "/fifo", ""}) {
    for (const char* mode : {"r", "r+", "w"}) {
      std::string thrown;
      try {
        LockedFile file((root + name).c_str(), mode);
      } catch (const char* text) {
        thrown = text;
      }
      EXPECT_EQ(thrown, "LockedFile: not a regular file") << name << mode;
    }
  }
  EXPECT_EQ(ReadFile(target), "kept\n");
  LockedFile file(target.c_str(), "r+");
  ASSERT_NE(file.fp, nullptr);
  EXPECT_EQ(fgetc(file), 'k');
}

void Ignore(int) {}

TEST_F(LockedFileTest, WaitsForAReleasedLockAndRestoresTheAlarm) {
  WriteFile(Path(), "x");
  struct sigaction mine = {}, before, after;
  mine.sa_handler = Ignore;
  ASSERT_EQ(sigaction(SIGALRM, &mine, &before), 0);
  pid_t holder = HoldLock(Path(), 200);
  ASSERT_GT(holder, 0);
  auto start = std::chrono::steady_clock::now();
  {
    LockedFile file(Path().c_str(), "r");
    EXPECT_NE(file.fp, nullptr);
  }
  std::chrono::duration<double> waited =
      std::chrono::steady_clock::now() - start;
  EXPECT_GE(waited.count(), 0.1);
  EXPECT_LT(waited.count(), 5.0);
  ASSERT_EQ(waitpid(holder, nullptr, 0), holder);

  ASSERT_EQ(sigaction(SIGALRM, &before, &after), 0);
  EXPECT_EQ(after.sa_handler, Ignore);
  EXPECT_EQ(alarm(0), 0u);  // no alarm left running
}

}  // namespace

// The web server's VXML_LOCK_TIMEOUT_MS can shorten the lock's time-out,
// never lengthen it, and nothing but a whole number of milliseconds counts.
TEST(LockedFileTimeoutTest, RequestVariableOnlyShortensIt) {
  const struct {
    const char* value;
    int expected_ms;
  } kCases[] = {
      {nullptr, LockedFile::kLockTimeoutMs},
      {"", LockedFile::kLockTimeoutMs},
      {"250", 250},
      {"0", LockedFile::kLockTimeoutMs},
      {"-5", LockedFile::kLockTimeoutMs},
      {"250ms", LockedFile::kLockTimeoutMs},
      {"10000", LockedFile::kLockTimeoutMs},
      {"99999999999999999999", LockedFile::kLockTimeoutMs},
  };
  for (const auto& c : kCases) {
    if (c.value == nullptr) {
      unsetenv("VXML_LOCK_TIMEOUT_MS");
    } else {
      setenv("VXML_LOCK_TIMEOUT_MS", c.value, 1);
    }
    EXPECT_EQ(LockedFile::LockTimeoutMs(), c.expected_ms)
        << (c.value ? c.value : "(unset)");
  }
  unsetenv("VXML_LOCK_TIMEOUT_MS");
}
