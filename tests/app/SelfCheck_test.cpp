// The operator's self-check with a private site tree: who may start it, the
// settings lines for good and broken settings files, database and directory
// that cannot be reached, the session directory, and that no password is
// ever printed. Checks against the real servers are in SelfCheckLive_test.
#include "app/SelfCheck.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "tests/cgiFramework/WebTestSupport.h"

namespace {

class SelfCheckTest : public webtest::SiteFixture {
 protected:
  void SetUp() override {
    SiteFixture::SetUp();
    // Database and directory that refuse at once: a closed port, and an
    // address nothing listens on.
    ASSERT_EQ(mkdir(Site("/my").c_str(), 0700), 0);
    WriteFile(Site("/my/my.cnf"), "[SQLSession]\nport=1\n");
    setenv("MYSQL_HOME", Site("/my").c_str(), 1);
    unsetenv("REQUEST_METHOD");
  }
  void TearDown() override {
    unsetenv("MYSQL_HOME");
    SiteFixture::TearDown();
  }

  // Runs the check with `args` after "vxml.cgi --check"; returns the
  // status, with the printed lines in `lines`.
  int Run(std::vector<std::string> args) {
    std::vector<char*> argv = {const_cast<char*>("vxml.cgi"),
                               const_cast<char*>("--check")};
    for (std::string& arg : args) argv.push_back(&arg[0]);
    char* text = nullptr;
    size_t size = 0;
    FILE* out = open_memstream(&text, &size);
    int status = RunSelfCheck(static_cast<int>(argv.size()), argv.data(), out);
    fclose(out);
    output = std::string(text, size);
    free(text);
    lines.clear();
    std::istringstream in(output);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return status;
  }

  // True when a printed line starts with `prefix`.
  bool HasLine(const std::string& prefix) const {
    for (const std::string& line : lines) {
      if (line.rfind(prefix, 0) == 0) return true;
    }
    return false;
  }

  void Settings(const std::string& content) {
    WriteFile(Site("/Korvelund/config/Lumera.cfg"), content);
  }

  std::string output;
  std::vector<std::string> lines;
};

TEST_F(SelfCheckTest, OnlyTheFlagWithoutAWebServerStartsIt) {
  char program[] = "vxml.cgi";
  char check[] = "--check";
  char other[] = "pagename=dialout";
  char* with_flag[] = {program, check, nullptr};
  char* without[] = {program, other, nullptr};
  EXPECT_TRUE(IsSelfCheckCall(2, with_flag));
  EXPECT_FALSE(IsSelfCheckCall(2, without));
  EXPECT_FALSE(IsSelfCheckCall(1, with_flag));
  // A web server sets REQUEST_METHOD, and may pass query words as arguments.
  setenv("REQUEST_METHOD", "GET", 1);
  EXPECT_FALSE(IsSelfCheckCall(2, with_flag));
  unsetenv("REQUEST_METHOD");

  for (std::vector<std::string> args : std::vector<std::vector<std::string>>{
           {"--user"}, {"x"}, {"--user", "a", "b"}, {"--name", "a"}}) {
    EXPECT_EQ(Run(args), 2);
    EXPECT_EQ(output, "usage: vxml.cgi --check [--user NAME]\n");
  }
}

TEST_F(SelfCheckTest, MissingSettingsFile) {
  EXPECT_EQ(Run({}), 1);
  const std::string path = Site("/Korvelund/config/Lumera.cfg");
  EXPECT_TRUE(HasLine("FAIL settings file " + path +
                      ": No such file or directory: create it"))
      << output;
}

TEST_F(SelfCheckTest, ReportsEachKeyAndEachCheckWithoutPasswords) {
  Settings(
      "serverAddress=127.0.0.1\nuser=portal\npassword=db-Secret1\n"
      "ldapserver=127.0.0.254\nldapuser=cn=admin\nldappassword=ldap-Secret2\n"
      "ldapversion=4\ncolour=blue\n");
  EXPECT_EQ(Run({"--user", "db-Secret1"}), 1);
  const std::string settings = Site("/Korvelund/config/Lumera.cfg");
  for (const std::string& line : {
           "ok   settings file " + settings + " read",
           std::string("ok   setting serverAddress=127.0.0.1"),
           std::string("ok   setting user=portal"),
           std::string("ok   setting password is set (not shown)"),
           std::string("ok   setting ldappassword is set (not shown)"),
           std::string("ok   setting colour found (not read by vxml.cgi)"),
           "FAIL setting db missing: add db=... to " + settings,
           std::string("ok   setting ldapbase not set: the call-back search"),
           std::string("ok   setting requestlog not set: one line per"),
           std::string("FAIL setting ldapversion=4 is not a protocol version: "
                       "set ldapversion=2 or ldapversion=3, or remove it"),
           std::string("FAIL database \"\" on 127.0.0.1 as user portal: "),
           std::string("FAIL directory 127.0.0.254:4000: Invalid ldapversion"),
           "ok   session directory " + Site("/Korvelund/sessions") +
               " writable",
           "ok   session clean-up stamp " + Site("/Korvelund/sessions") +
               "/+User.cleanup: not made yet",
           std::string("skip voicemail archive: its path needs"),
       }) {
    EXPECT_TRUE(HasLine(line)) << line << "\n---\n" << output;
  }
  EXPECT_EQ(output.find("Secret"), std::string::npos) << output;
  // Nothing of the probe is left for the session clean-up.
  EXPECT_EQ(
      system(
          ("test -z \"$(ls -A " + Site("/Korvelund/sessions") + ")\"").c_str()),
      0);
}

TEST_F(SelfCheckTest, MissingSessionDirectoryIsReportedNotMade) {
  Settings("serverAddress=127.0.0.1\n");
  ASSERT_EQ(rmdir(Site("/Korvelund/sessions").c_str()), 0);
  EXPECT_EQ(Run({}), 1);
  EXPECT_TRUE(HasLine("FAIL session directory " + Site("/Korvelund/sessions") +
                      ": missing: create it"))
      << output;
  EXPECT_NE(access(Site("/Korvelund/sessions").c_str(), F_OK), 0);
}

TEST_F(SelfCheckTest, UnreachableServersAndUnwritableSessions) {
  Settings(
      "serverAddress=127.0.0.1\nuser=portal\ndb=portal\n"
      "ldapserver=127.0.0.254\n");
  // A file where the session directory should be.
  ASSERT_EQ(rmdir(Site("/Korvelund/sessions").c_str()), 0);
  WriteFile(Site("/Korvelund/sessions"), "");
  EXPECT_EQ(Run({}), 1);
  for (const std::string& line : {
           std::string("ok   setting password not set: the database user logs "
                       "in without password"),
           std::string(
               "FAIL database \"portal\" on 127.0.0.1 as user portal: "),
           std::string("FAIL directory 127.0.0.254:4000: cannot connect: start "
                       "the directory server, or fix ldapserver="),
           "FAIL session directory " + Site("/Korvelund/sessions") +
               ": cannot create a file: Not a directory: create it",
       }) {
    EXPECT_TRUE(HasLine(line)) << line << "\n---\n" << output;
  }
  EXPECT_NE(output.find("start MariaDB, or fix serverAddress="),
            std::string::npos)
      << output;
}

}  // namespace
