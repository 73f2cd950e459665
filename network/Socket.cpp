#include "network/Socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>

#include "kernel/OSBuf.h"
#include "kernel/OSConsole.h"
#include "kernel/OSKernel.h"

namespace {

const int kListenBacklog = 4;

sockaddr_in Ipv4(unsigned long addr_h, unsigned short port_h) {
  sockaddr_in sin{};
  sin.sin_family = AF_INET;
  sin.sin_addr.s_addr = htonl(static_cast<uint32_t>(addr_h));
  sin.sin_port = htons(port_h);
  return sin;
}

std::once_flag init_once;

}  // namespace

CRITICAL_SECTION Socket::cs;
OSIndirectList* Socket::socket_list = nullptr;
unsigned long Socket::local_ipaddr = 0;
bool Socket::SocketsInitialised = false;
int Socket::connect_timeout_ms = Socket::kConnectTimeoutMs;
int Socket::receive_timeout_ms = Socket::kReceiveTimeoutMs;

void Socket::SetTimeouts(int connect_ms, int receive_ms) {
  connect_timeout_ms = connect_ms;
  receive_timeout_ms = receive_ms;
}

void Socket::Init(unsigned long Alocal_ipaddr) {
  if (Alocal_ipaddr != 0) local_ipaddr = Alocal_ipaddr;
  std::call_once(init_once, [] {
    InitializeCriticalSection(&cs);
    socket_list = new OSIndirectList(0);
    SocketsInitialised = true;
  });
}

// ------------------------------------------------------------ construction

Socket::Socket(Type Atype, unsigned short listen_port, bool Alisten,
               unsigned long addr) {
  type = Atype;
  Register();
  if (!CreateDescriptor()) return;
  local_sin = Ipv4(addr != 0 ? addr : local_ipaddr, listen_port);
  if (bind(s, reinterpret_cast<sockaddr*>(&local_sin), sizeof(local_sin)) < 0) {
    Console->Print("Socket: bind() error %d for port %d", errno, listen_port);
    Close();
    return;
  }
  if (int err = ReadLocalAddress()) {
    Console->Print("Socket: getsockname() error %d", err);
  }
  if (Alisten && listen(s, kListenBacklog) < 0) {
    Console->Print("Socket: listen() error %d", errno);
    Close();
    return;
  }
  state = READY;
}

Socket::Socket(Type Atype, int As, sockaddr_in* Asin, int Asin_len) {
  type = Atype;
  s = As;
  if (Asin != nullptr && Asin_len > 0) {
    const size_t n = static_cast<size_t>(Asin_len) < sizeof(remote_sin)
                         ? static_cast<size_t>(Asin_len)
                         : sizeof(remote_sin);
    std::memcpy(&remote_sin, Asin, n);
  }
  state = CONNECTED;
  Register();
}

Socket::Socket(Type Atype, const char* hostname, unsigned short port) {
  type = Atype;
  Register();
  if (!CreateDescriptor()) return;
  local_sin = Ipv4(local_ipaddr, 0);
  if (bind(s, reinterpret_cast<sockaddr*>(&local_sin), sizeof(local_sin)) < 0) {
    Console->Print("Socket: bind() error %d for %08x", errno,
                   static_cast<unsigned>(local_ipaddr));
    Close();
    return;
  }
  if (!Resolve(hostname)) {
    Console->Print("Socket: couldn't resolve host %s",
                   hostname != nullptr ? hostname : "");
    Close();
    return;
  }
  if (type != TCP_CLIENT) return;
  remote_sin.sin_port = htons(port);
  if (!ConnectWithTimeout()) return;
  if (int err = ReadLocalAddress()) {
    Console->Print("Socket: getsockname() error %d", err);
  }
  state = CONNECTED;
}

Socket::~Socket() {
  Socket::Close();
  CriticalSectionLock lock(&cs);
  socket_list->Remove(this);
}

void Socket::Register() {
  Init(0);
  CriticalSectionLock lock(&cs);
  socket_list->Append(this);
}

bool Socket::CreateDescriptor() {
  s = type == UDP ? socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP)
                  : socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s < 0) {
    Console->Print("Socket: socket() error %d", errno);
    s = -1;
    return false;
  }
  timeval send_timeout{kSendTimeoutMs / 1000, 0};
  setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, &send_timeout, sizeof(send_timeout));
  int on = 1;
  setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
  return true;
}

bool Socket::Resolve(const char* hostname) {
  remote_sin.sin_family = AF_INET;
  if (hostname == nullptr || hostname[0] == '\0') return false;
  if (std::isdigit(static_cast<unsigned char>(hostname[0]))) {
    return inet_aton(hostname, &remote_sin.sin_addr) != 0;
  }
  // gethostbyname answers in static storage: keep the look-up and the copy
  // together under the class lock.
  CriticalSectionLock lock(&cs);
  hostent* he = gethostbyname(hostname);
  if (he == nullptr || he->h_addrtype != AF_INET ||
      he->h_length != sizeof(in_addr) || he->h_addr_list[0] == nullptr) {
    return false;
  }
  std::memcpy(&remote_sin.sin_addr, he->h_addr_list[0], sizeof(in_addr));
  rmthostname = he->h_name != nullptr ? he->h_name : hostname;
  rmthostent = *he;
  rmthostent.h_name = &rmthostname[0];
  rmthostent.h_aliases = nullptr;
  rmthostent.h_addr_list = nullptr;
  phostent = &rmthostent;
  return true;
}

bool Socket::ConnectWithTimeout() {
  const int flags = fcntl(s, F_GETFL);
  fcntl(s, F_SETFL, flags | O_NONBLOCK);
  int err = 0;
  if (connect(s, reinterpret_cast<sockaddr*>(&remote_sin), sizeof(remote_sin)) <
      0) {
    err = errno;
    if (err == EINPROGRESS) {
      pollfd pfd{s, POLLIN | POLLOUT | POLLPRI, 0};
      const int r = Poll(&pfd, connect_timeout_ms);
      if (r == 0) {
        err = ETIMEDOUT;
      } else if (r < 0) {
        err = errno;
      } else {
        // The outcome of the attempt: connecting again answers it.
        err = connect(s, reinterpret_cast<sockaddr*>(&remote_sin),
                      sizeof(remote_sin)) == 0 ||
                      errno == EISCONN
                  ? 0
                  : errno;
      }
    }
  }
  fcntl(s, F_SETFL, flags);
  if (err == 0) return true;
  if (int gerr = ReadLocalAddress()) {
    Console->Print("Socket: getsockname() error %d", gerr);
  }
  if (Console != nullptr) {
    PrintPeerError("Socket::Socket() connect()", err, RemoteIP_h(),
                   RemotePort());
  }
  Close();
  return false;
}

// ------------------------------------------------------------- operations

void Socket::Close() {
  if (s != -1) {
    ::close(s);
    s = -1;
  }
  state = INVALID;
}

OSIO::OSIORetCode Socket::DataIndication(OSBuf* buf) {
  if (buf == nullptr) return Success;
  const int err = SendAll(buf->data, buf->length);
  buf->Free();
  if (err != 0) {
    PrintPeerError("Socket::DataIndication: send()", err, RemoteIP_h(),
                   RemotePort());
    Close();
    return NoConnection;
  }
  return Success;
}

int Socket::SendAll(const UBYTE* p, size_t n) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point give_up =
      Clock::now() + std::chrono::milliseconds(kSendTimeoutMs);
  while (n > 0) {
    // MSG_NOSIGNAL: a peer that has gone must fail the send, not end the
    // process with SIGPIPE. MSG_DONTWAIT: every wait is the poll below.
    const ssize_t r = send(s, p, n, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (r > 0) {
      p += r;
      n -= static_cast<size_t>(r);
      continue;
    }
    if (r < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
      return errno;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        give_up - Clock::now());
    const int wait =
        TimeLeft(left.count() > 0 ? static_cast<int>(left.count()) : 0);
    if (wait == 0) return ETIMEDOUT;
    pollfd pfd{s, POLLOUT, 0};
    const int ready = Poll(&pfd, wait);
    if (ready < 0) return errno;
    if (ready == 0) return ETIMEDOUT;
  }
  return 0;
}

OSIO::OSIORetCode Socket::DataExpeditedIndication(OSBuf* buf) {
  if (buf != nullptr) buf->Free();
  return Success;
}

OSIO::OSIORetCode Socket::DatagramIndication(OSBuf* buf, void* /*destination*/,
                                             void* /*source*/) {
  if (buf != nullptr) buf->Free();
  return Success;
}

OSIO::OSIORetCode Socket::SendTo(OSBuf* buf, unsigned long dstAddr,
                                 unsigned short dstPort) {
  if (buf == nullptr) return Success;
  const sockaddr_in dst = Ipv4(dstAddr, dstPort);
  const ssize_t r =
      sendto(s, buf->data, buf->length, MSG_NOSIGNAL,
             reinterpret_cast<const sockaddr*>(&dst), sizeof(dst));
  const int err = errno;
  buf->Free();
  if (r < 0) {
    PrintPeerError("Socket::SendTo: sendto()", err, dstAddr, dstPort);
    state = INVALID;
    return NoConnection;
  }
  return Success;
}

int Socket::Queue(OSBuf* buf) {
  if (buf != nullptr) queue.Add(buf);
  return 0;
}

int Socket::FlushQueue(bool ptrace) {
  if (ptrace) {
    Console->Print("Socket::FlushQueue() size=%d to %s", queue.Size(),
                   RemoteIPText());
  }
  while (OSBuf* buf = queue.Get()) DataIndication(buf);
  return 0;
}

Socket* Socket::Accept() {
  sockaddr_in peer{};
  int peer_len = 0;
  const int fd = AcceptDescriptor(&peer, &peer_len);
  if (fd < 0) return nullptr;
  return new Socket(TCP_SERVER, fd, &peer, peer_len);
}

int Socket::AcceptDescriptor(sockaddr_in* peer, int* peer_len) {
  socklen_t len = sizeof(*peer);
  const int fd = accept(s, reinterpret_cast<sockaddr*>(peer), &len);
  if (fd < 0) {
    Console->Print("Socket::Accept: accept() %d", errno);
    return -1;
  }
  *peer_len = static_cast<int>(len);
  return fd;
}

void Socket::Connect(unsigned long addr, unsigned short port) {
  remote_sin = Ipv4(addr, port);
  if (connect(s, reinterpret_cast<sockaddr*>(&remote_sin), sizeof(remote_sin)) <
      0) {
    const int err = errno;
    if (int gerr = ReadLocalAddress()) {
      Console->Print("Socket: getsockname() error %d", gerr);
    }
    PrintPeerError("Socket::Connect(addr,port) connect()", err, addr, port);
    return;
  }
  if (int gerr = ReadLocalAddress()) {
    Console->Print("Socket::Connect: getsockname() error %d", gerr);
  }
  state = CONNECTED;
}

void Socket::ConnectAck() {}

bool Socket::Secure() { return false; }

int Socket::Poll(pollfd* pfd, int timeout_ms) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline =
      Clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    const int r = poll(pfd, 1, timeout_ms);
    if (r >= 0 || errno != EINTR) return r;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - Clock::now());
    timeout_ms = left.count() > 0 ? static_cast<int>(left.count()) : 0;
  }
}

// --------------------------------------------------------------- receiving

Socket::Readiness Socket::WaitReadable(int timeout_ms) {
  if (s < 0) return kNotReady;
  pollfd pfd{s, POLLIN | POLLPRI, 0};
  const int r = Poll(&pfd, timeout_ms);
  if (r < 0) return kWaitFailed;
  if (r == 0) return kTimedOut;
  const bool exception = (pfd.revents & POLLPRI) != 0;
  const bool readable = (pfd.revents & (POLLIN | POLLHUP | POLLERR)) != 0;
  if (exception) return readable ? kBoth : kException;
  return readable ? kReadable : kNotReady;
}

Socket::Received Socket::ReceiveStep(int timeout_ms, int max,
                                     const std::function<UBYTE*(int n)>& place,
                                     int* got) {
  *got = 0;
  switch (WaitReadable(timeout_ms)) {
    case kTimedOut:
      return Received::kTimedOut;
    case kWaitFailed:
      return Received::kWaitFailed;
    case kBoth:
      return Received::kAmbiguous;
    case kException:
      Console->Print("Socket::RecWait: exception condition on socket");
      state = INVALID;
      return Received::kException;
    case kNotReady:
      Console->Print("Socket::RecWait: socket not ready");
      state = INVALID;
      return Received::kNotReady;
    case kReadable:
      break;
  }
  int pending = 0;
  if (ioctl(s, FIONREAD, &pending) < 0) {
    Console->Print("Socket::RecWait: ioctlsocket(FIONREAD) %d", errno);
    state = INVALID;
    return Received::kFailed;
  }
  if (pending <= 0) {
    state = INVALID;
    return Received::kClosed;
  }
  const int want = pending < max ? pending : max;
  const ssize_t r = recv(s, place(want), want, 0);
  if (r <= 0) {
    if (r < 0) Console->Print("Socket::RecWait: recv %d", errno);
    state = INVALID;
    return r < 0 ? Received::kFailed : Received::kClosed;
  }
  *got = static_cast<int>(r);
  return Received::kData;
}

OSBuf* Socket::RecWait(int Atimeout) {
  // Never more than the largest buffer class holds; the rest stays pending.
  const int largest = KERNELCFG->buf_size[3] - 1;
  OSBuf* buf = nullptr;
  int want = 0;
  int got = 0;
  const Received r = ReceiveStep(
      TimeLeft(Atimeout), largest,
      [&buf, &want](int n) {
        want = n;
        buf = OSBuf::Alloc(n);
        buf->PushDown(static_cast<unsigned short>(n));
        return buf->data;
      },
      &got);
  if (r == Received::kData) {
    if (got != want) {
      Console->Print("Socket::RecWait: expected %d, got %d", want, got);
    }
    buf->length = static_cast<unsigned short>(got);
    return buf;
  }
  if (buf != nullptr) buf->Free();
  if (r == Received::kWaitFailed || r == Received::kAmbiguous) {
    // The wait must report exactly one condition.
    Console->Print("Socket::RecWait: select() %d",
                   r == Received::kAmbiguous ? 0 : errno);
  }
  return nullptr;
}

int Socket::RecWait(UBYTE* rbuf, int rlen) {
  int got = 0;
  while (got < rlen) {
    if (DeadlinePassed()) return 3;
    int n = 0;
    switch (ReceiveStep(
        TimeLeft(receive_timeout_ms), rlen - got,
        [rbuf, got](int) { return rbuf + got; }, &n)) {
      case Received::kData:
        got += n;
        break;
      case Received::kTimedOut:
        return 3;
      case Received::kAmbiguous:
        // An exception condition counts even when data is readable too.
        Console->Print("Socket::RecWait: exception condition on socket");
        state = INVALID;
        return 1;
      case Received::kException:
        return 1;
      case Received::kWaitFailed:
        Console->Print("Socket::RecWait: socket not ready");
        state = INVALID;
        return 2;
      case Received::kNotReady:
        return 2;
      case Received::kClosed:
      case Received::kFailed:
        return -1;
    }
  }
  return 0;
}

void Socket::SetDeadline(int ms) {
  has_deadline = true;
  deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
}

void Socket::ClearDeadline() { has_deadline = false; }

int Socket::TimeLeft(int limit_ms) const {
  if (!has_deadline) return limit_ms;
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      deadline - std::chrono::steady_clock::now());
  if (left.count() <= 0) return 0;
  const bool shorter = limit_ms < 0 || left.count() < limit_ms;
  return shorter ? static_cast<int>(left.count()) : limit_ms;
}

bool Socket::DeadlinePassed() const {
  return has_deadline && std::chrono::steady_clock::now() >= deadline;
}

// ---------------------------------------------------------------- addresses

char* Socket::RemoteIPText() { return inet_ntoa(remote_sin.sin_addr); }

unsigned long Socket::RemoteIP_n() { return remote_sin.sin_addr.s_addr; }

unsigned long Socket::RemoteIP_h() { return ntohl(remote_sin.sin_addr.s_addr); }

char* Socket::RemoteHostname() { return rmthostent.h_name; }

unsigned short Socket::RemotePort() { return ntohs(remote_sin.sin_port); }

unsigned long Socket::LocalIP_n() {
  if (local_sin.sin_addr.s_addr == 0) {
    if (int err = ReadLocalAddress()) {
      Console->Print("Socket::LocalIP_n: getsockname() error %d", err);
    }
  }
  return local_sin.sin_addr.s_addr;
}

unsigned long Socket::LocalIP_h() { return ntohl(LocalIP_n()); }

unsigned short Socket::LocalPort() { return ntohs(local_sin.sin_port); }

int Socket::ReadLocalAddress() {
  socklen_t len = sizeof(local_sin);
  if (getsockname(s, reinterpret_cast<sockaddr*>(&local_sin), &len) < 0) {
    return errno;
  }
  return 0;
}

void Socket::PrintPeerError(const char* what, int err, unsigned long to_addr,
                            unsigned short to_port) {
  Console->Print("%s error %d to %08x:%u from %08x:%u", what, err,
                 static_cast<unsigned>(to_addr), to_port,
                 static_cast<unsigned>(ntohl(local_sin.sin_addr.s_addr)),
                 static_cast<unsigned>(ntohs(local_sin.sin_port)));
}
