// A private syslog socket for tests: the program sends its request log line
// there while the socket is alive.
#ifndef TESTS_SUPPORT_LOGSOCKET_H_
#define TESTS_SUPPORT_LOGSOCKET_H_

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

// A datagram socket in a fresh directory, named by VXML_LOG_SOCKET while
// it lives.
class LogSocket {
 public:
  LogSocket() {
    char dir[] = "/tmp/vxml-log-XXXXXX";
    EXPECT_NE(mkdtemp(dir), nullptr);
    dir_ = dir;
    path_ = dir_ + "/log";
    fd_ = socket(AF_UNIX, SOCK_DGRAM, 0);
    struct sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    strcpy(address.sun_path, path_.c_str());
    EXPECT_EQ(bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address),
              0);
    setenv("VXML_LOG_SOCKET", path_.c_str(), 1);
  }
  ~LogSocket() {
    unsetenv("VXML_LOG_SOCKET");
    close(fd_);
    unlink(path_.c_str());
    rmdir(dir_.c_str());
  }

  // The next datagram, waiting up to `ms` milliseconds; "" for none.
  std::string Receive(int ms = 2000) {
    struct timeval wait = {ms / 1000, (ms % 1000) * 1000};
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    char buffer[4096];
    ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
    return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : "";
  }

 private:
  std::string dir_;
  std::string path_;
  int fd_;
};

#endif  // TESTS_SUPPORT_LOGSOCKET_H_
