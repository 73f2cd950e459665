// One whole request: a failure before the answer begins becomes the error
// page; a failure after it (the session save at the end) goes to standard
// error only, so VoiceXML gets no HTML appended and audio no bytes beyond
// its length; and what the request log learns about the request.
#include "app/VXMLRequest.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "app/PortalContext.h"
#include "tests/cgiFramework/WebTestSupport.h"

namespace {

const char kSaveError[] = "Unable to write session file";

// A portal context without database or directory whose session save fails
// when `fail_save` is set.
class TestContext : public PortalContext {
 public:
  explicit TestContext(bool fail_save)
      : PortalContext(kPortalSettingsFile, ""), fail_save_(fail_save) {}
  ~TestContext() noexcept(false) override {
    if (fail_save_) throw kSaveError;
  }
  void ReadSettings() override {
    hostName = "callserver1";
    knownUser = true;
  }
  LDAPSession* GetLDAPSession(bool /*dontload*/) override { return nullptr; }

 private:
  bool fail_save_;
};

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

}  // namespace
