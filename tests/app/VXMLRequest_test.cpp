// One whole request: a failure before the answer begins becomes the error
// page; a failure after it (the session save at the end) goes to standard
// error only, so VoiceXML gets no HTML appended and audio no bytes beyond
// its length; and what the request log learns about the request.
#include "app/VXMLRequest.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <string>
#include <utility>

#include "app/PortalContext.h"
#include "tests/cgiFramework/WebTestSupport.h"

namespace {

const char kSaveError[] = "Unable to write session file";

// A portal context without database or directory whose session save fails
// when `fail_save` is set; `on_settings`, when given, runs where the
// settings are read, after the session was loaded.
class TestContext : public PortalContext {
 public:
  explicit TestContext(bool fail_save,
                       std::function<void()> on_settings = nullptr)
      : PortalContext(kPortalSettingsFile, ""),
        fail_save_(fail_save),
        on_settings_(std::move(on_settings)) {}
  ~TestContext() noexcept(false) override {
    if (fail_save_) throw kSaveError;
  }
  void ReadSettings() override {
    hostName = "callserver1";
    knownUser = true;
    if (on_settings_) on_settings_();
  }
  LDAPSession* GetLDAPSession(bool /*dontload*/) override { return nullptr; }

 private:
  bool fail_save_;
  std::function<void()> on_settings_;
};

// What arrives on `fd` until it holds `end`, the writer closes it, or
// nothing more comes for `ms` milliseconds.
std::string ReadUntil(int fd, const std::string& end, int ms) {
  std::string text;
  struct pollfd input = {fd, POLLIN, 0};
  char buffer[4096];
  ssize_t n = 1;
  while (text.find(end) == std::string::npos && n > 0 &&
         poll(&input, 1, ms) > 0) {
    n = read(fd, buffer, sizeof buffer);
    if (n > 0) text.append(buffer, static_cast<size_t>(n));
  }
  return text;
}

class VXMLRequestTest : public webtest::SiteFixture {
 protected:
  // Answers `query` on a TestContext; fills stdout_ and stderr_.
  RequestOutcome Answer(const char* query, bool fail_save) {
    setenv("QUERY_STRING", query, 1);
    RequestOutcome outcome;
    stdout_ = Capture(STDOUT_FILENO, [&] {
      stderr_ = Capture(STDERR_FILENO, [&] {
        outcome = AnswerRequest([&] { return new TestContext(fail_save); });
      });
    });
    return outcome;
  }

  // Runs `body` with `fd` sent to a file; returns what was written there.
  template <typename Body>
  std::string Capture(int fd, Body body) {
    const std::string path = root + "/captured" + std::to_string(fd);
    fflush(nullptr);
    const int saved = dup(fd);
    const int file = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(file, fd);
    close(file);
    body();
    fflush(nullptr);
    dup2(saved, fd);
    close(saved);
    return ReadFile(path);
  }

  std::string stdout_;
  std::string stderr_;
};

TEST_F(VXMLRequestTest, AFailureAfterTheAnswerBeganGoesToStandardErrorOnly) {
  const std::string archive =
      Site("/hosts/callserver1/Korvelund/Mailbox/Archive/");
  ASSERT_EQ(system(("mkdir -p " + archive).c_str()), 0);
  WriteFile(archive + "msg.wav", std::string(3000, 'w'));
  struct {
    const char* query;
    const char* answer_starts;  // "" for no answer before the failure
  } cases[] = {
      {"pagename=dialout", "Cache-Control: no-cache"},
      {"pagename=wav&index=msg.wav",
       "Content-Type: audio/wav\nContent-Length: 3000\n\n"},
      {"pagename=login", "Cache-Control: no-cache"},
      {"pagename=unknown", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.query);
    // The answer without a failure.
    Answer(c.query, false);
    const std::string clean = stdout_;
    EXPECT_EQ(stderr_, "");

    RequestOutcome outcome = Answer(c.query, true);
    EXPECT_EQ(std::string(outcome.error), kSaveError);
    EXPECT_EQ(outcome.bytes, stdout_.size());
    EXPECT_FALSE(outcome.Cut());
    if (*c.answer_starts != '\0') {
      EXPECT_EQ(stdout_.rfind(c.answer_starts, 0), 0u);
      EXPECT_EQ(stdout_.size(), clean.size()) << "nothing appended";
      EXPECT_EQ(stdout_.find("SYSTEM ERROR"), std::string::npos);
      EXPECT_EQ(stderr_, std::string("vxml.cgi: ") + kSaveError + "\n");
    } else {
      // Nothing had been written: the error page is the answer.
      EXPECT_EQ(clean, "");
      EXPECT_NE(stdout_.find(std::string("SYSTEM ERROR: ") + kSaveError),
                std::string::npos);
      EXPECT_EQ(stderr_, "");
    }
  }
}

TEST_F(VXMLRequestTest, OutcomeNamesPageSessionAndLogSetting) {
  RequestOutcome outcome = Answer("pagename=dialout&sessionId=12345678", false);
  EXPECT_STREQ(outcome.page, "dialout");
  EXPECT_STREQ(outcome.error, "");
  EXPECT_STREQ(outcome.session_id, "12345678");
  EXPECT_EQ(outcome.bytes, stdout_.size());
  EXPECT_TRUE(outcome.log);

  WriteFile(Site(kPortalSettingsFile), "requestlog=off\n");
  outcome = Answer("", false);
  EXPECT_STREQ(outcome.page, "");
  EXPECT_EQ(outcome.bytes, 0u);
  EXPECT_FALSE(outcome.log);
}

// The page reaches the web server before the session save, which here
// waits for the session lock that the test takes after the load and keeps
// until it has read the whole page.
TEST_F(VXMLRequestTest, PageIsFlushedBeforeTheSessionSave) {
  int loaded[2], go[2], answer[2];
  ASSERT_EQ(pipe(loaded), 0);
  ASSERT_EQ(pipe(go), 0);
  ASSERT_EQ(pipe(answer), 0);
  setenv("QUERY_STRING", "pagename=dialout&sessionId=12345678", 1);
  fflush(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(answer[1], STDOUT_FILENO);
    AnswerRequest([&] {
      return new TestContext(false, [&] {
        char c;
        (void)!write(loaded[1], "l", 1);
        (void)!read(go[0], &c, 1);
      });
    });
    _exit(0);
  }
  close(answer[1]);
  ASSERT_EQ(ReadUntil(loaded[0], "l", 5000), "l");
  const int lock =
      open(Site("/Korvelund/sessions/User_12345678").c_str(), O_RDONLY);
  EXPECT_EQ(flock(lock, LOCK_EX | LOCK_NB), 0);
  ASSERT_EQ(write(go[1], "g", 1), 1);
  const std::string page = ReadUntil(answer[0], "</vxml>\n", 3000);
  close(lock);
  EXPECT_EQ(page.rfind("Cache-Control: no-cache", 0), 0u) << page;
  ASSERT_GE(page.size(), 8u);
  EXPECT_EQ(page.substr(page.size() - 8), "</vxml>\n") << page;
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  for (int fd : {loaded[0], loaded[1], go[0], go[1], answer[0]}) close(fd);
}

}  // namespace
