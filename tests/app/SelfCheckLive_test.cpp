// The operator's self-check against the test servers: a working deployment
// passes every check; a directory that refuses version 2 or has no default
// search base, and a user without settings, are explained.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "app/SelfCheck.h"
#include "kernel/OSKernel.h"
#include "support/Env.h"

namespace {

class SelfCheckLiveTest : public ::testing::Test {
 protected:
  void SetUp() override {
    os_startup(0, 0, nullptr);
    servers_root_ = Env("VXML_ROOT");
    ASSERT_FALSE(servers_root_.empty()) << "run under CTest (fixture)";
    unsetenv("REQUEST_METHOD");
  }
  void TearDown() override {
    setenv("VXML_ROOT", servers_root_.c_str(), 1);
    if (!private_root_.empty()) {
      ASSERT_EQ(system(("rm -rf " + private_root_).c_str()), 0);
    }
  }

  // Points VXML_ROOT at a private tree whose settings file is the test
  // servers' one with `changes` appended (later keys do not replace
  // earlier ones, so changed keys are left out of the copy) and whose
  // archive is the servers' archive.
  void PrivateSettings(const std::vector<std::string>& drop,
                       const std::string& changes) {
    if (!private_root_.empty()) {
      ASSERT_EQ(system(("rm -rf " + private_root_).c_str()), 0);
    }
    char dir[] = "/tmp/vxml-check-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    private_root_ = dir;
    ASSERT_EQ(system(("mkdir -p " + private_root_ + "/Korvelund/config " +
                      private_root_ + "/Korvelund/sessions && ln -s " +
                      servers_root_ + "/hosts " + private_root_ + "/hosts")
                         .c_str()),
              0);
    std::ifstream in(servers_root_ + "/Korvelund/config/Lumera.cfg");
    std::ofstream out(private_root_ + "/Korvelund/config/Lumera.cfg");
    for (std::string line; std::getline(in, line);) {
      bool dropped = false;
      for (const std::string& key : drop) {
        dropped = dropped || line.rfind(key + "=", 0) == 0;
      }
      if (!dropped) out << line << "\n";
    }
    out << changes;
    setenv("VXML_ROOT", private_root_.c_str(), 1);
  }

  // Runs the check for the web user `user` (null: without --user).
  int Run(const char* user) {
    char program[] = "vxml.cgi";
    char check[] = "--check";
    char flag[] = "--user";
    std::string name = user != nullptr ? user : "";
    char* argv[] = {program, check, flag, &name[0], nullptr};
    char* text = nullptr;
    size_t size = 0;
    FILE* out = open_memstream(&text, &size);
    int status = RunCommandLine(user != nullptr ? 4 : 2, argv, out, stderr);
    fclose(out);
    output = std::string(text, size);
    free(text);
    return status;
  }

  bool Has(const std::string& text) const {
    return output.find(text) != std::string::npos;
  }

  std::string output;
  std::string servers_root_;
  std::string private_root_;
};

TEST_F(SelfCheckLiveTest, WorkingDeploymentPassesEveryCheck) {
  EXPECT_EQ(Run("alice"), 0) << output;
  EXPECT_FALSE(Has("FAIL")) << output;
  EXPECT_TRUE(
      Has("ok   database \"portal\" on 127.0.0.1 as user portal: "
          "connected\n"))
      << output;
  EXPECT_TRUE(
      Has("ok   portal settings of user \"alice\" at VirtualHost Lumera: "
          "customer 10, contact 100, call server host \"callserver1\"\n"))
      << output;
  EXPECT_TRUE(
      Has("ok   directory 127.0.0.1:4000: bound as "
          "cn=admin,o=Korvelund\n"))
      << output;
  EXPECT_TRUE(
      Has("ok   directory search under base \"\" for "
          "(GlobalTelephoneNumber=*): found an entry\n"))
      << output;
  EXPECT_TRUE(Has("ok   voicemail archive " + servers_root_ +
                  "/hosts/callserver1/Korvelund/Mailbox/Archive/ readable\n"))
      << output;
  // Neither password of the settings file shows.
  EXPECT_FALSE(Has(Env("VXML_SQL_PASSWORD"))) << output;
  EXPECT_FALSE(Has(Env("VXML_LDAP_ADMIN_PASSWORD"))) << output;

  // Without a web user, what needs none passes and the rest is skipped.
  EXPECT_EQ(Run(nullptr), 0) << output;
  EXPECT_TRUE(Has("ok   directory search under base")) << output;
  EXPECT_TRUE(Has("skip portal settings of a web user: needs --user NAME"))
      << output;
  EXPECT_TRUE(Has("skip voicemail archive: ")) << output;
}

TEST_F(SelfCheckLiveTest, UserWithoutSettingsAndWrongPasswords) {
  EXPECT_EQ(Run("nobody"), 1);
  EXPECT_TRUE(
      Has("FAIL portal settings of user \"nobody\" at VirtualHost Lumera: "
          "no row for this user: every page answers this user with the "
          "authorisation failure page: "))
      << output;
  EXPECT_TRUE(Has("skip voicemail archive")) << output;

  PrivateSettings({"password", "ldappassword"},
                  "password=wrong-db-pw\nldappassword=wrong-ldap-pw\n");
  EXPECT_EQ(Run("alice"), 1);
  EXPECT_TRUE(Has("Access denied")) << output;
  EXPECT_TRUE(Has("fix user= and password= in the settings file")) << output;
  EXPECT_TRUE(
      Has("FAIL directory 127.0.0.1:4000: directory refused the bind "
          "as cn=admin,o=Korvelund: invalid credentials: fix "
          "ldapuser= and ldappassword="))
      << output;
  EXPECT_FALSE(Has("wrong-")) << output;
}

TEST_F(SelfCheckLiveTest, StockDirectoryIsExplained) {
  const std::string stock = Env("VXML_STOCK_LDAP_HOST");
  if (stock.empty()) GTEST_SKIP() << "no stock directory server";
  // Version 2 forced: refused, with the way out.
  PrivateSettings({"ldapserver"}, "ldapserver=" + stock + "\nldapversion=2\n");
  EXPECT_EQ(Run("alice"), 1);
  EXPECT_TRUE(Has("FAIL directory " + stock +
                  ":4000: directory refused LDAP version 2: allow it in "
                  "slapd.conf (allow bind_v2) or set ldapversion=3\n"))
      << output;

  // Version 3 binds, but the empty base finds nothing without a default
  // search base; the configured base does.
  PrivateSettings({"ldapserver"}, "ldapserver=" + stock + "\nldapversion=3\n");
  EXPECT_EQ(Run("alice"), 1);
  EXPECT_TRUE(
      Has("directory search under base \"\" for "
          "(GlobalTelephoneNumber=*): no such object: the directory "
          "has no default search base: set ldapbase="))
      << output;
  PrivateSettings({"ldapserver"}, "ldapserver=" + stock +
                                      "\nldapversion=3\nldapbase=" +
                                      Env("VXML_STOCK_LDAP_BASE") + "\n");
  EXPECT_EQ(Run("alice"), 0) << output;
}

}  // namespace
