// Test helpers for the request context: a private site tree under VXML_ROOT,
// a clean CGI environment, and a request body fed to file descriptor 0.
#ifndef TESTS_CGIFRAMEWORK_WEBTESTSUPPORT_H_
#define TESTS_CGIFRAMEWORK_WEBTESTSUPPORT_H_

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "kernel/OSKernel.h"

namespace webtest {

// The CGI variables the request context reads.
inline const char* const kCgiVariables[] = {
    "QUERY_STRING", "CONTENT_LENGTH", "CONTENT_TYPE", "HTTP_COOKIE",
    "SCRIPT_NAME",  "REMOTE_ADDR",    "REMOTE_PORT"};

// A temporary site root with Korvelund/sessions and Korvelund/config,
// exported as VXML_ROOT, and an empty CGI environment; all removed again
// after the test.
class SiteFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    os_startup(0, 0, nullptr);
    char pattern[] = "/tmp/vxml-web-test-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    root = pattern;
    ASSERT_EQ(mkdir((root + "/Korvelund").c_str(), 0700), 0);
    ASSERT_EQ(mkdir((root + "/Korvelund/sessions").c_str(), 0700), 0);
    ASSERT_EQ(mkdir((root + "/Korvelund/config").c_str(), 0700), 0);
    setenv("VXML_ROOT", root.c_str(), 1);
    for (const char* name : kCgiVariables) unsetenv(name);
  }

  void TearDown() override {
    RestoreStdin();
    for (const char* name : kCgiVariables) unsetenv(name);
    unsetenv("VXML_ROOT");
    std::string command = "rm -rf '" + root + "'";
    ASSERT_EQ(system(command.c_str()), 0);
  }

  // Host path of a site path such as "/Korvelund/sessions/User_1".
  std::string Site(const std::string& path) const { return root + path; }

  void WriteFile(const std::string& path, const std::string& content) const {
    std::ofstream out(path, std::ios::binary);
    out << content;
  }

  std::string ReadFile(const std::string& path) const {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

  // The settings file "/Korvelund/config/test.cfg" with `content`; returns
  // its site path for the context's constructor.
  const char* Config(const std::string& content) {
    WriteFile(Site("/Korvelund/config/test.cfg"), content);
    return "/Korvelund/config/test.cfg";
  }

  // Makes `body` the request body on file descriptor 0 and sets
  // CONTENT_LENGTH (to `length`, or the body's size when negative) and
  // CONTENT_TYPE (unset when null).
  void Post(const std::string& body, const char* content_type,
            long length = -1) {
    std::string path = root + "/body";
    WriteFile(path, body);
    if (saved_stdin < 0) saved_stdin = dup(STDIN_FILENO);
    int fd = open(path.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(dup2(fd, STDIN_FILENO), STDIN_FILENO);
    close(fd);
    std::string size = std::to_string(length < 0 ? body.size() : length);
    setenv("CONTENT_LENGTH", size.c_str(), 1);
    if (content_type != nullptr) setenv("CONTENT_TYPE", content_type, 1);
  }

  // Forks a process that holds an exclusive lock on `path` for `ms`
  // milliseconds (or until it is killed); returns its id once the lock is
  // held (-1 on failure).
  pid_t HoldLock(const std::string& path, int ms) {
    int ready[2];
    if (pipe(ready) != 0) return -1;
    pid_t pid = fork();
    if (pid == 0) {
      int fd = open(path.c_str(), O_RDONLY);
      if (fd < 0 || flock(fd, LOCK_EX) != 0) _exit(1);
      (void)!write(ready[1], "x", 1);
      usleep(static_cast<useconds_t>(ms) * 1000);
      _exit(0);
    }
    char byte;
    if (pid < 0 || read(ready[0], &byte, 1) != 1) pid = -1;
    close(ready[0]);
    close(ready[1]);
    return pid;
  }

  void RestoreStdin() {
    if (saved_stdin < 0) return;
    dup2(saved_stdin, STDIN_FILENO);
    close(saved_stdin);
    saved_stdin = -1;
  }

  std::string root;
  int saved_stdin = -1;
};

}  // namespace webtest

#endif  // TESTS_CGIFRAMEWORK_WEBTESTSUPPORT_H_
