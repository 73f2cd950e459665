// The operator's command line with a private site tree: who may start it,
// usage and version, the settings lines for good and broken settings files,
// database and directory that cannot be reached or never answer, the
// session directory, and that no part of a password is ever printed. Checks
// against the real servers are in SelfCheckLive_test.
#include "app/SelfCheck.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "tests/cgiFramework/WebTestSupport.h"

namespace {

// A TCP listener on `address`:`port` (0: any free port) that never accepts:
// the kernel completes connections, nobody answers them.
class Listener {
 public:
  Listener(const char* address, int port) {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, address, &sin.sin_addr);
    socklen_t length = sizeof sin;
    ok_ = fd_ >= 0 &&
          bind(fd_, reinterpret_cast<sockaddr*>(&sin), sizeof sin) == 0 &&
          listen(fd_, 8) == 0 &&
          getsockname(fd_, reinterpret_cast<sockaddr*>(&sin), &length) == 0;
    port_ = ntohs(sin.sin_port);
  }
  ~Listener() {
    if (fd_ >= 0) close(fd_);
  }
  bool ok() const { return ok_; }
  int port() const { return port_; }

 private:
  int fd_;
  int port_ = 0;
  bool ok_ = false;
};

class SelfCheckTest : public webtest::SiteFixture {
 protected:
  void SetUp() override {
    SiteFixture::SetUp();
    // Database and directory that refuse at once: a closed port, and an
    // address nothing listens on.
    // The client library takes the option directory from MYSQL_HOME once
    // per process: every test uses the same one.
    ASSERT_EQ(mkdir(MyHome().c_str(), 0700), 0);
    SetDatabasePort(1);
    setenv("MYSQL_HOME", MyHome().c_str(), 1);
  }
  void TearDown() override {
    unsetenv("MYSQL_HOME");
    ASSERT_EQ(system(("rm -rf " + MyHome()).c_str()), 0);
    SiteFixture::TearDown();
  }

  static std::string MyHome() {
    return "/tmp/vxml-selfcheck-my-" + std::to_string(getpid());
  }
  void SetDatabasePort(int port) {
    WriteFile(MyHome() + "/my.cnf",
              "[SQLSession]\nport=" + std::to_string(port) + "\n");
  }

  // Runs the check with `args` after "vxml.cgi --check"; returns the
  // status, with the printed lines in `lines`.
  int Run(std::vector<std::string> args) {
    args.insert(args.begin(), "--check");
    return Command(args);
  }

  // Runs "vxml.cgi" with `args`; returns the status, with what was printed
  // in `output` and `lines` and the error stream in `errors`.
  int Command(std::vector<std::string> args) {
    std::vector<char*> argv = {const_cast<char*>("vxml.cgi")};
    for (std::string& arg : args) argv.push_back(&arg[0]);
    char* text = nullptr;
    size_t size = 0;
    char* error_text = nullptr;
    size_t error_size = 0;
    FILE* out = open_memstream(&text, &size);
    FILE* err = open_memstream(&error_text, &error_size);
    int status =
        RunCommandLine(static_cast<int>(argv.size()), argv.data(), out, err);
    fclose(out);
    fclose(err);
    output = std::string(text, size);
    errors = std::string(error_text, error_size);
    free(text);
    free(error_text);
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
  std::string errors;
  std::vector<std::string> lines;
};

const char kUsage[] =
    "usage: vxml.cgi --check [--user NAME]\n"
    "         check the settings file, the database, the directory and the "
    "session directory; with NAME also the web user's portal settings and "
    "voicemail archive\n"
    "       vxml.cgi --version\n"
    "         print the version\n"
    "       vxml.cgi --help\n"
    "         print this text\n";

TEST_F(SelfCheckTest, OnlyAShellStartsTheCommandLine) {
  EXPECT_TRUE(IsCommandLineCall());
  // A web server sets these, and may pass query words as arguments.
  for (const char* variable :
       {"REQUEST_METHOD", "GATEWAY_INTERFACE", "QUERY_STRING"}) {
    setenv(variable, "", 1);
    EXPECT_FALSE(IsCommandLineCall()) << variable;
    unsetenv(variable);
  }

  EXPECT_EQ(Command({"--help"}), 0);
  EXPECT_EQ(output, kUsage);
  EXPECT_EQ(errors, "");
  EXPECT_EQ(Command({"--version"}), 0);
  EXPECT_EQ(output, "vxml.cgi " VXML_VERSION "\n");
  for (std::vector<std::string> args : std::vector<std::vector<std::string>>{
           {},
           {"pagename=dialout"},
           {"--check", "--user"},
           {"--check", "--user", ""},
           {"--check", "x"},
           {"--check", "--user", "a", "b"},
           {"--check", "--name", "a"},
           {"--help", "x"},
           {"--version", "x"}}) {
    EXPECT_EQ(Command(args), 2);
    EXPECT_EQ(output, "");
    EXPECT_EQ(errors, kUsage);
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
  EXPECT_EQ(Run({"--user", "alice"}), 1);
  const std::string settings = Site("/Korvelund/config/Lumera.cfg");
  for (const std::string& line : {
           "ok   settings file " + settings + " read",
           std::string("ok   setting serverAddress=127.0.0.1"),
           std::string("ok   setting user=portal"),
           std::string("ok   setting password is set (not shown)"),
           std::string("ok   setting ldappassword is set (not shown)"),
           std::string("FAIL settings file line 8: unknown key \"colour\": "
                       "remove the line or correct the key"),
           "FAIL setting db missing: add db=... to " + settings,
           std::string("ok   setting ldapbase not set: the call-back search"),
           std::string("ok   setting requestlog not set: one line per"),
           std::string("ok   setting sessionSync not set: no flush"),
           std::string("ok   setting sqlConnectTimeout not set: 3 seconds"),
           std::string("ok   setting sqlReadTimeout not set: 10 seconds"),
           std::string("ok   setting sqlWriteTimeout not set: 10 seconds"),
           std::string("FAIL setting ldapversion=4 is not a protocol version: "
                       "set ldapversion=2 or ldapversion=3, or leave it empty"),
           std::string("FAIL database \"\" on 127.0.0.1 as user portal: "),
           std::string("skip portal settings of a web user: needs the "
                       "database"),
           std::string("skip directory 127.0.0.254:4000: ldapversion is not 2 "
                       "or 3 (see above)"),
           "ok   session directory " + Site("/Korvelund/sessions") +
               " writable",
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

// Each line that may hold part of a password is named by its number and
// the key before it; a secret's value never shows, also where it equals
// another key's value.
TEST_F(SelfCheckTest, NoPartOfASecretIsPrinted) {
  struct Case {
    const char* file;
    std::vector<const char*> secrets;
    std::vector<const char*> expected;
  };
  const Case cases[] = {
      {"password=portalpw&TAILSECRET1\ndb=portal\n",
       {"portalpw", "TAILSECRET1"},
       {"FAIL settings file line 1: a text after \"&\" in the value of "
        "password (not shown), read together with line 2 as one name: write "
        "\"&\" in a value as %26",
        "FAIL setting db missing: line 1 runs on into its line: mend that "
        "line (see above)"}},
      {"ldappassword=adminsecret&LDAPTAIL2=x\n",
       {"adminsecret", "LDAPTAIL2"},
       {"FAIL settings file line 1: a text after \"&\" in the value of "
        "ldappassword (not shown): write"}},
      // The password may be "pw&db=DBTAIL3&user=UTAIL4".
      {"password=pw&db=DBTAIL3&user=UTAIL4\nserverAddress=127.0.0.1\n",
       {"DBTAIL3", "UTAIL4"},
       {"FAIL settings file line 1: a text after \"&\" in the value of "
        "password (not shown): write",
        "ok   setting db is set (not shown)",
        "FAIL database \"(not shown)\" on 127.0.0.1 as user (not shown): "}},
      {"user=portal\npassword s3cretNOEQ\ndb=portal\n",
       {"s3cretNOEQ"},
       {"FAIL settings file line 2: not name=value (not shown), read "
        "together with line 3 as one name: write one name=value per line, "
        "and comments with \"#\" as the line's first character"}},
      {"# old password: OLDSECRET4\n  # indented: OLDSECRET4\nuser=portal\n",
       {"OLDSECRET4"},
       {"FAIL settings file line 2: not name=value (not shown), read "
        "together with line 3 as one name"}},
      {"password=portal\nuser=portal\ndb=portal\n",
       {"password=portal", "***"},
       {"ok   setting password is set (not shown)", "ok   setting user=portal",
        "ok   setting db=portal", "FAIL database \"portal\" on  as user portal"}},
      {"password=%26x\nldappassword=\npassword=secondpw\nxpw s3=1\n",
       {"&x", "secondpw", "s3"},
       {"FAIL settings file line 3: password repeats line 1, whose value is "
        "used: remove one of the two lines",
        "ok   setting ldappassword empty: the directory bind has no password",
        "FAIL settings file line 4: unknown key (not shown)"}},
  };
  for (const Case& c : cases) {
    Settings(c.file);
    EXPECT_EQ(Run({}), 1) << c.file;
    for (const char* secret : c.secrets) {
      EXPECT_EQ(output.find(secret), std::string::npos)
          << secret << "\n---\n" << output;
    }
    for (const char* line : c.expected) {
      EXPECT_TRUE(HasLine(line)) << line << "\n---\n" << output;
    }
  }
}

// A database and a directory that accept connections and never answer,
// with the settings asking for an hour's patience: each wait is cut short
// and the whole check stays within the request time limit.
TEST_F(SelfCheckTest, SilentServersAreBounded) {
  Listener database("127.0.0.1", 0);
  ASSERT_TRUE(database.ok());
  // The directory's port is fixed: a loopback address of its own.
  std::unique_ptr<Listener> directory;
  std::string address;
  for (int host = 100; host < 200 && (directory == nullptr || !directory->ok());
       ++host) {
    address = "127.0.0." + std::to_string(host);
    directory = std::make_unique<Listener>(address.c_str(), 4000);
  }
  ASSERT_TRUE(directory->ok());
  SetDatabasePort(database.port());
  Settings("serverAddress=127.0.0.1\nuser=portal\ndb=portal\nldapserver=" +
           address +
           "\nsqlConnectTimeout=3600\nsqlReadTimeout=3600\n"
           "sqlWriteTimeout=3600\n");
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(Run({"--user", "alice"}), 1);
  const auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_LT(elapsed, std::chrono::seconds(30)) << output;
  for (const std::string& line : {
           std::string("FAIL database \"portal\" on 127.0.0.1 as user portal: "
                       "SQL: real connect ERROR: Lost connection"),
           std::string("skip portal settings of a web user: needs the "
                       "database"),
           "FAIL directory " + address +
               ":4000: no answer to the bind within 4000 ms: check that the "
               "directory server on port 4000 works",
       }) {
    EXPECT_TRUE(HasLine(line)) << line << "\n---\n" << output;
  }
  EXPECT_NE(output.find("the server accepted but did not answer in time"),
            std::string::npos)
      << output;
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
