// The far end of a loopback TCP connection for socket tests: listens on a
// free port of 127.0.0.1, accepts one connection on its own thread and runs a
// script on the accepted descriptor, which is closed when the script returns.
// Plain POSIX calls, independent of the Socket class under test.
#ifndef TESTS_NETWORK_LOOPBACKPEER_H_
#define TESTS_NETWORK_LOOPBACKPEER_H_

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>

class LoopbackPeer {
 public:
  // With `receive_buffer`, the accepted connection gets a receive buffer of
  // about that many bytes.
  explicit LoopbackPeer(std::function<void(int fd)> script,
                        int receive_buffer = 0) {
    listen_fd_ = Bound(&port_, 4, receive_buffer);
    thread_ = std::thread([this, script] {
      // A connection already made is served even while the peer is being
      // destroyed; without one the thread ends when asked to.
      pollfd pfd{listen_fd_, POLLIN, 0};
      while (poll(&pfd, 1, 20) != 1) {
        if (stop_) return;
      }
      const int fd = accept(listen_fd_, nullptr, nullptr);
      script(fd);
      close(fd);
    });
  }
  ~LoopbackPeer() {
    stop_ = true;
    thread_.join();
    close(listen_fd_);
  }

  unsigned short port() const { return port_; }

  // A TCP descriptor bound to a free port of 127.0.0.1, listening with
  // `backlog` when that is not negative. Its port goes to `*port`.
  static int Bound(unsigned short* port, int backlog, int receive_buffer = 0) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (receive_buffer > 0) {
      setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receive_buffer,
                 sizeof(receive_buffer));
    }
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(sin);
    bind(fd, reinterpret_cast<sockaddr*>(&sin), len);
    getsockname(fd, reinterpret_cast<sockaddr*>(&sin), &len);
    if (backlog >= 0) listen(fd, backlog);
    *port = ntohs(sin.sin_port);
    return fd;
  }

  static void Send(int fd, const std::string& bytes) {
    send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
  }
  static void Pause(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
  }
  // Reads until the connection closes or `limit` bytes arrived; counts the
  // reads in `*reads` when given.
  static std::string ReadAll(int fd, size_t limit, int* reads = nullptr) {
    std::string data;
    char chunk[8192];
    ssize_t n;
    while (data.size() < limit && (n = recv(fd, chunk, sizeof(chunk), 0)) > 0) {
      if (reads != nullptr) ++*reads;
      data.append(chunk, static_cast<size_t>(n));
    }
    return data;
  }

 private:
  std::atomic<bool> stop_{false};
  int listen_fd_ = -1;
  unsigned short port_ = 0;
  std::thread thread_;
};

#endif  // TESTS_NETWORK_LOOPBACKPEER_H_
