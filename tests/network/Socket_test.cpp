#include "network/Socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "kernel/OSBuf.h"
#include "network/CaptureConsole.h"
#include "network/LoopbackPeer.h"
#include "support/Bytes.h"

namespace {

const unsigned long kLoopback = 0x7F000001;

double Seconds(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start)
      .count();
}

// The shared BufOf, under the name these tests use.

// Shortens the socket's connect and receive limits for its lifetime, so that
// a test of them waits a fraction of a second.
class ShortTimeouts {
 public:
  ShortTimeouts(int connect_ms, int receive_ms) {
    Socket::SetTimeouts(connect_ms, receive_ms);
  }
  ~ShortTimeouts() {
    Socket::SetTimeouts(Socket::kConnectTimeoutMs, Socket::kReceiveTimeoutMs);
  }
};

// Waits up to two seconds for one of `events` on `fd`; true when it came.
bool WaitFor(int fd, short events) {
  pollfd pfd{fd, events, 0};
  return poll(&pfd, 1, 2000) == 1;
}

class SocketTest : public ::testing::Test {
 protected:
  CaptureConsole console;
};

TEST_F(SocketTest, ClientConnectsByAddressOrByName) {
  LoopbackPeer peer([](int fd) { LoopbackPeer::ReadAll(fd, 1); });
  Socket by_address(Socket::TCP_CLIENT, "127.0.0.1", peer.port());
  ASSERT_EQ(by_address.state, Socket::CONNECTED);
  EXPECT_EQ(by_address.RemoteHostname(), nullptr);  // no look-up for digits
  EXPECT_STREQ(by_address.RemoteIPText(), "127.0.0.1");
  EXPECT_EQ(by_address.RemoteIP_n(), htonl(kLoopback));
  EXPECT_EQ(by_address.RemotePort(), peer.port());
  EXPECT_EQ(by_address.LocalIP_h(), kLoopback);
  EXPECT_NE(by_address.LocalPort(), 0);

  LoopbackPeer named_peer([](int) {});
  Socket by_name(Socket::TCP_CLIENT, "localhost", named_peer.port());
  ASSERT_EQ(by_name.state, Socket::CONNECTED);
  EXPECT_STREQ(by_name.RemoteHostname(), "localhost");
  EXPECT_EQ(by_name.RemoteIP_h(), kLoopback);
}

TEST_F(SocketTest, FailedClientsAreReportedAndClosed) {
  for (const char* host : {"", "999.1.1.1", "no-such-host.invalid"}) {
    Socket client(Socket::TCP_CLIENT, host, 4000);
    EXPECT_EQ(client.s, -1) << host;
    EXPECT_TRUE(
        console.Has(std::string("Socket: couldn't resolve host ") + host));
  }
  unsigned short port;
  close(LoopbackPeer::Bound(&port, -1));  // nothing listens there now
  const auto start = std::chrono::steady_clock::now();
  Socket refused(Socket::TCP_CLIENT, "127.0.0.1", port);
  EXPECT_LT(Seconds(start), 2.5);
  EXPECT_EQ(refused.s, -1);
  EXPECT_EQ(refused.state, Socket::INVALID);
  EXPECT_TRUE(
      console.HasPrefix("Socket::Socket() connect() error 111 to 7f000001:" +
                        std::to_string(port) + " from "));
}

TEST_F(SocketTest, UnansweredConnectGivesUpAfterTheConnectLimit) {
  ShortTimeouts short_limits(300, Socket::kReceiveTimeoutMs);
  // A listener with a full accept queue drops further connection requests.
  unsigned short port;
  const int listener = LoopbackPeer::Bound(&port, 0);
  std::vector<int> fillers;
  for (int i = 0; i < 3; ++i) {
    unsigned short unused;
    fillers.push_back(LoopbackPeer::Bound(&unused, -1));
    fcntl(fillers.back(), F_SETFL, O_NONBLOCK);
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_addr.s_addr = htonl(kLoopback);
    sin.sin_port = htons(port);
    connect(fillers.back(), reinterpret_cast<sockaddr*>(&sin), sizeof(sin));
  }
  ASSERT_TRUE(WaitFor(fillers[0], POLLOUT));  // the queue is full
  const auto start = std::chrono::steady_clock::now();
  Socket client(Socket::TCP_CLIENT, "127.0.0.1", port);
  EXPECT_GE(Seconds(start), 0.29);
  EXPECT_LT(Seconds(start), 1.5);
  EXPECT_EQ(client.s, -1);
  EXPECT_TRUE(
      console.HasPrefix("Socket::Socket() connect() error 110 to 7f000001:"));
  for (int fd : fillers) close(fd);
  close(listener);
}

TEST_F(SocketTest, BoundSocketsListenAcceptAndConnect) {
  Socket server(Socket::TCP_SERVER, 0, true, kLoopback);
  ASSERT_EQ(server.state, Socket::READY);
  Socket client(Socket::TCP_CLIENT, "127.0.0.1", server.LocalPort());
  std::unique_ptr<Socket> accepted(server.Accept());
  ASSERT_NE(accepted, nullptr);
  EXPECT_EQ(accepted->state, Socket::CONNECTED);
  EXPECT_EQ(accepted->RemotePort(), client.LocalPort());
  EXPECT_EQ(client.DataIndication(BufOf("ping")), OSIO::Success);
  UBYTE got[4];
  ASSERT_EQ(accepted->RecWait(got, 4), 0);
  EXPECT_EQ(Text(got, 4), "ping");

  // A bound socket connected explicitly.
  Socket bound(Socket::TCP_SERVER, 0, false, kLoopback);
  bound.Connect(kLoopback, server.LocalPort());
  EXPECT_EQ(bound.state, Socket::CONNECTED);
  delete server.Accept();

  // The port is taken; a socket that does not listen cannot accept; nothing
  // listens on the second socket's port any more.
  Socket taken(Socket::TCP_SERVER, server.LocalPort(), true, kLoopback);
  EXPECT_EQ(taken.s, -1);
  EXPECT_TRUE(console.Has("Socket: bind() error 98 for port " +
                          std::to_string(server.LocalPort())));
  EXPECT_EQ(bound.Accept(), nullptr);
  EXPECT_TRUE(console.Has("Socket::Accept: accept() 22"));
  Socket unanswered(Socket::TCP_SERVER, 0, false, kLoopback);
  const unsigned short dead_port = unanswered.LocalPort();
  unanswered.Close();
  Socket other(Socket::TCP_SERVER, 0, false, kLoopback);
  other.Connect(kLoopback, dead_port);
  EXPECT_EQ(other.state, Socket::READY);
  EXPECT_TRUE(console.HasPrefix(
      "Socket::Connect(addr,port) connect() error 111 to 7f000001:" +
      std::to_string(dead_port) + " from 7f000001:"));
}

TEST_F(SocketTest, CountedReceiveTakesExactlyWhatIsAsked) {
  LoopbackPeer peer([](int fd) {
    LoopbackPeer::Send(fd, "abcd");
    LoopbackPeer::Pause(50);  // so that the first receive waits for more
    LoopbackPeer::Send(fd, "ef0123456789");
    LoopbackPeer::ReadAll(fd, 1);  // until the client closes
  });
  Socket client(Socket::TCP_CLIENT, "127.0.0.1", peer.port());
  UBYTE got[10];
  EXPECT_EQ(client.RecWait(got, 6), 0);  // 4 bytes, then 2 more later
  EXPECT_EQ(Text(got, 6), "abcdef");
  EXPECT_EQ(client.RecWait(got, 4), 0);  // the rest stays pending
  EXPECT_EQ(Text(got, 4), "0123");
  EXPECT_EQ(client.RecWait(got, 0), 0);
  EXPECT_EQ(client.RecWait(got, 6), 0);
  EXPECT_EQ(Text(got, 6), "456789");
  EXPECT_EQ(client.state, Socket::CONNECTED);
}

TEST_F(SocketTest, CountedReceiveFailsWhenThePeerClosesOrTheSocketIsClosed) {
  LoopbackPeer peer([](int fd) { LoopbackPeer::Send(fd, "abcd"); });
  Socket client(Socket::TCP_CLIENT, "127.0.0.1", peer.port());
  UBYTE got[6];
  EXPECT_EQ(client.RecWait(got, 6), -1);
  EXPECT_EQ(client.state, Socket::INVALID);
  client.Close();
  EXPECT_EQ(client.RecWait(got, 1), 2);
  EXPECT_TRUE(console.Has("Socket::RecWait: socket not ready"));
}

// Urgent data is the exception condition of the waits.
TEST_F(SocketTest, UrgentDataIsAnExceptionCondition) {
  const struct {
    const char* normal;  // bytes the peer sends before the urgent one
    bool counted;        // RecWait(rbuf, rlen), else RecWait(timeout)
    Socket::SocketState state;
    const char* report;
  } cases[] = {
      // The counted receive reports the exception even beside readable data;
      {"ab", true, Socket::INVALID,
       "Socket::RecWait: exception condition on socket"},
      // the buffered one wants exactly one condition.
      {"ab", false, Socket::CONNECTED, "Socket::RecWait: select() 0"},
      {"", false, Socket::INVALID,
       "Socket::RecWait: exception condition on socket"},
  };
  for (const auto& c : cases) {
    LoopbackPeer peer([&c](int fd) {
      LoopbackPeer::Send(fd, c.normal);
      send(fd, "!", 1, MSG_OOB | MSG_NOSIGNAL);
      LoopbackPeer::ReadAll(fd, 1);  // until the client closes
    });
    Socket client(Socket::TCP_CLIENT, "127.0.0.1", peer.port());
    ASSERT_TRUE(WaitFor(client.s, POLLPRI));  // the urgent byte is there
    console.Clear();
    if (c.counted) {
      UBYTE got[5];
      EXPECT_EQ(client.RecWait(got, 5), 1);
    } else {
      EXPECT_EQ(client.RecWait(2000), nullptr);
    }
    EXPECT_EQ(client.state, c.state) << c.report;
    EXPECT_TRUE(console.Has(c.report)) << c.report;
  }
}

TEST_F(SocketTest, CountedReceiveGivesUpAfterTheSilentLimit) {
  ShortTimeouts short_limits(Socket::kConnectTimeoutMs, 300);
  // Silent until the client sends or closes, for two seconds at most, so a
  // receive that outwaits its limit fails the test instead of hanging it.
  LoopbackPeer peer([](int fd) { WaitFor(fd, POLLIN); });
  Socket client(Socket::TCP_CLIENT, "127.0.0.1", peer.port());
  const auto start = std::chrono::steady_clock::now();
  UBYTE got[1];
  EXPECT_EQ(client.RecWait(got, 1), 3);
  EXPECT_GE(Seconds(start), 0.29);
  EXPECT_LT(Seconds(start), 1.5);
  EXPECT_EQ(client.state, Socket::CONNECTED);
  client.DataIndication(BufOf("x"));  // lets the peer finish
}

TEST_F(SocketTest, BufferedReceive) {
  const std::string big(5000, 'b');
  LoopbackPeer peer([&big](int fd) {
    LoopbackPeer::ReadAll(fd, 1);  // the client's go-ahead
    LoopbackPeer::Send(fd, big);
  });
  Socket client(Socket::TCP_CLIENT, "127.0.0.1", peer.port());
  EXPECT_EQ(client.RecWait(50), nullptr);  // a quiet time-out
  EXPECT_EQ(client.state, Socket::CONNECTED);
  EXPECT_EQ(client.DataIndication(BufOf("g")), OSIO::Success);
  // More than the largest buffer holds arrives in several buffers.
  std::string got;
  while (got.size() < big.size()) {
    OSBuf* buf = client.RecWait(2000);
    ASSERT_NE(buf, nullptr);
    got += Text(buf->data, buf->length);
    buf->Free();
  }
  EXPECT_EQ(got, big);
  EXPECT_EQ(client.RecWait(2000), nullptr);  // the peer closed
  EXPECT_EQ(client.state, Socket::INVALID);
}

TEST_F(SocketTest, FailedSendsReleaseTheBuffer) {
  LoopbackPeer peer([](int) {});
  Socket client(Socket::TCP_CLIENT, "127.0.0.1", peer.port());
  // The peer has gone: sending fails, with no SIGPIPE, once its reset has
  // come back.
  ASSERT_TRUE(WaitFor(client.s, POLLRDHUP));
  pollfd reset{client.s, 0, 0};
  OSIO::OSIORetCode result = OSIO::Success;
  for (int i = 0; i < 20 && result == OSIO::Success; ++i) {
    result = client.DataIndication(BufOf("more"));
    poll(&reset, 1, 100);
  }
  EXPECT_EQ(result, OSIO::NoConnection);
  EXPECT_EQ(client.state, Socket::INVALID);

  client.Close();
  const int free_before = OSBuf::PoolSize(1);
  EXPECT_EQ(client.DataIndication(BufOf("data")), OSIO::NoConnection);
  EXPECT_EQ(OSBuf::PoolSize(1), free_before);
  EXPECT_TRUE(
      console.HasPrefix("Socket::DataIndication: send() error 9 to 7f000001:" +
                        std::to_string(peer.port()) + " from "));
}

// A send goes on after partial writes until every byte is out; a reader
// that stalls past the deadline fails the send and closes the connection.
TEST_F(SocketTest, SendsWriteEverythingOrCloseTheConnection) {
  const struct {
    int stall_ms;  // before the peer starts to read, 1 KiB every 2 ms; a
                   // stall ends early when the client has stopped sending
    int deadline_ms;
    bool complete;
  } cases[] = {{0, 5000, true}, {1500, 300, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.stall_ms);
    std::string received;
    std::string sent;
    bool all_sent = true;
    int stopped[2];  // the client writes a byte once it stops sending
    ASSERT_EQ(pipe(stopped), 0);
    {
      LoopbackPeer peer(
          [&](int fd) {
            pollfd stop{stopped[0], POLLIN, 0};
            poll(&stop, 1, c.stall_ms);
            char chunk[1024];
            ssize_t n;
            while ((n = recv(fd, chunk, sizeof(chunk), 0)) > 0) {
              received.append(chunk, static_cast<size_t>(n));
              LoopbackPeer::Pause(2);
            }
          },
          2048);
      Socket client(Socket::TCP_CLIENT, "127.0.0.1", peer.port());
      int small = 4096;
      setsockopt(client.s, SOL_SOCKET, SO_SNDBUF, &small, sizeof(small));
      client.SetDeadline(c.deadline_ms);
      for (int i = 0; i < (c.complete ? 100 : 2000) && all_sent; ++i) {
        const std::string piece(1500, static_cast<char>('A' + i % 26));
        all_sent = client.DataIndication(BufOf(piece)) == OSIO::Success;
        if (all_sent) sent += piece;
      }
      (void)!write(stopped[1], "x", 1);
      EXPECT_EQ(client.s == -1, !all_sent) << "closed after a failed send";
    }
    close(stopped[0]);
    close(stopped[1]);
    EXPECT_EQ(all_sent, c.complete);
    if (c.complete) {
      EXPECT_EQ(received.size(), sent.size());
      EXPECT_TRUE(received == sent);
    } else {
      EXPECT_TRUE(console.HasPrefix(
          "Socket::DataIndication: send() error 110 to 7f000001:"));
    }
  }
}

TEST_F(SocketTest, DeadlineEndsATrickledReceive) {
  LoopbackPeer peer([](int fd) {
    for (int i = 0; i < 30 && send(fd, "x", 1, MSG_NOSIGNAL) == 1; ++i) {
      LoopbackPeer::Pause(100);
    }
  });
  Socket client(Socket::TCP_CLIENT, "127.0.0.1", peer.port());
  client.SetDeadline(300);
  UBYTE got[30];
  EXPECT_EQ(client.RecWait(got, 30), 3);
  EXPECT_EQ(client.state, Socket::CONNECTED);
  client.Close();
}

TEST_F(SocketTest, QueuedBuffersArePackedAndFlushedInOneSend) {
  int reads = 0;
  std::string received;
  bool early = true;
  std::promise<void> watched;  // the peer's watch for early bytes is over
  {
    LoopbackPeer peer([&](int fd) {
      pollfd pfd{fd, POLLIN, 0};
      early = poll(&pfd, 1, 300) == 1;
      watched.set_value();
      received = LoopbackPeer::ReadAll(fd, 30, &reads);
    });
    Socket client(Socket::TCP_CLIENT, "127.0.0.1", peer.port());
    for (const char* piece : {"0123456789", "abcdefghij", "ABCDEFGHIJ"}) {
      EXPECT_EQ(client.Queue(BufOf(piece)), 0);
    }
    EXPECT_EQ(client.queue.Size(), 1);
    EXPECT_EQ(client.queue.Length(), 30u);
    ASSERT_EQ(watched.get_future().wait_for(std::chrono::seconds(5)),
              std::future_status::ready);
    EXPECT_EQ(client.FlushQueue(true), 0);
    EXPECT_TRUE(console.Has("Socket::FlushQueue() size=1 to 127.0.0.1"));
  }
  EXPECT_FALSE(early);
  EXPECT_EQ(received, "0123456789abcdefghijABCDEFGHIJ");
  EXPECT_EQ(reads, 1);
}

TEST_F(SocketTest, Datagrams) {
  Socket receiver(Socket::UDP, 0, false, kLoopback);
  ASSERT_EQ(receiver.state, Socket::READY);
  Socket sender(Socket::UDP, "127.0.0.1", receiver.LocalPort());
  EXPECT_EQ(sender.state, Socket::INVALID);  // UDP clients are never connected
  EXPECT_EQ(sender.SendTo(BufOf("datagram"), kLoopback, receiver.LocalPort()),
            OSIO::Success);
  OSBuf* buf = receiver.RecWait(2000);
  ASSERT_NE(buf, nullptr);
  EXPECT_EQ(Text(buf->data, buf->length), "datagram");
  buf->Free();

  const int free_before = OSBuf::PoolSize(1);
  EXPECT_EQ(sender.DataExpeditedIndication(BufOf("x")), OSIO::Success);
  EXPECT_EQ(sender.DatagramIndication(BufOf("y"), nullptr, nullptr),
            OSIO::Success);
  sender.Close();
  EXPECT_EQ(sender.SendTo(BufOf("lost"), kLoopback, 9), OSIO::NoConnection);
  EXPECT_EQ(OSBuf::PoolSize(1), free_before);
  EXPECT_TRUE(console.HasPrefix(
      "Socket::SendTo: sendto() error 9 to 7f000001:9 from "));
}

}  // namespace
