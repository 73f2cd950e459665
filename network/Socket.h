// IPv4 TCP or UDP endpoint over the system's socket interface: a bound (and
// optionally listening) socket, a socket for an accepted connection, or a
// client socket connected to a host and port.
//
// Time limits: a client connect gives up after connect_timeout_ms (2 s); each
// wait of a counted receive allows receive_timeout_ms (10 s); a send gives up
// when not all of its bytes could be written within kSendTimeoutMs (5 s).
// A deadline set with SetDeadline bounds every receive and send of the socket
// further, whatever the peer sends or how slowly it reads.
//
// Failures never stop the process: each is printed through the console and
// reported by `state`, a closed descriptor (`s` == -1), a null result or a
// return code. Constructors that fail leave `s` at -1, so callers test `s` or
// `state` after construction.
//
// Ownership: the caller owns the socket. Buffers handed to DataIndication,
// SendTo and Queue become the socket's (sent or queued, and freed by it in
// every case); buffers returned by RecWait(int) are the caller's.
//
// Thread safety: the class-wide lock `cs` guards `socket_list`; a socket object
// itself is not locked and is used by one thread at a time.
#ifndef NETWORK_SOCKET_H_
#define NETWORK_SOCKET_H_

#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>

#include <chrono>
#include <functional>
#include <string>

#include "kernel/OSCriticalSection.h"
#include "kernel/OSIO.h"
#include "kernel/OSList.h"
#include "kernel/OSStream.h"
#include "kernel/OSTypes.h"

class Socket : public OSIO {
 public:
  enum Type { UDP = 0, TCP_CLIENT = 1, TCP_SERVER = 2 };
  enum SocketState { INVALID = 0, READY = 1, CONNECTED = 2 };

  // Sets the local address that new sockets bind to (host byte order) when
  // `Alocal_ipaddr` is non-zero; the first call also creates the class lock
  // and the list of live sockets. Constructors call it themselves.
  static void Init(unsigned long Alocal_ipaddr);

  // A socket bound to `listen_port` on `addr` (host byte order; 0 means the
  // address set by Init, itself 0 = any). TCP types listen (backlog 4) when
  // `Alisten` is set. READY on success.
  Socket(Type Atype, unsigned short listen_port, bool Alisten,
         unsigned long addr = 0);
  // Wraps the accepted descriptor `As` whose peer is `Asin`; CONNECTED.
  Socket(Type Atype, int As, sockaddr_in* Asin, int Asin_len);
  // A client socket to `hostname` (dotted address when it starts with a
  // digit, else a name to look up) and `port`. A TCP_CLIENT connects, giving
  // up after 2 seconds, and is CONNECTED on success. A UDP socket stays
  // INVALID and sends with SendTo.
  Socket(Type Atype, const char* hostname, unsigned short port);
  // Closes the descriptor and leaves the list of live sockets. Buffers still
  // queued are freed unsent.
  ~Socket() override;

  static constexpr int kConnectTimeoutMs = 2000;
  static constexpr int kReceiveTimeoutMs = 10000;
  static constexpr int kSendTimeoutMs = 5000;
  // The connect and receive limits in force, in milliseconds: the two
  // values above unless changed with SetTimeouts (tests shorten them; a
  // change applies to connects and waits started later).
  static int connect_timeout_ms;
  static int receive_timeout_ms;
  static void SetTimeouts(int connect_ms, int receive_ms);

  // Sends all bytes of `buf` and frees `buf`. A send that writes part of the
  // bytes is continued until all are written, or until kSendTimeoutMs or the
  // deadline, whichever comes first, has passed. Returns Success, or
  // NoConnection when not everything could be sent: then
  // "Socket::DataIndication: send() error %d to ..." is printed (110 for a
  // time-out) and the connection is closed, so that no later send can follow a
  // message with a gap in it.
  OSIORetCode DataIndication(OSBuf* buf) override;
  // Both free `buf`, do nothing else and return Success.
  OSIORetCode DataExpeditedIndication(OSBuf* buf) override;
  OSIORetCode DatagramIndication(OSBuf* buf, void* destination,
                                 void* source) override;

  // Waits up to `Atimeout` milliseconds and returns one buffer (the caller's)
  // holding the bytes pending then, at most as many as the largest buffer
  // class holds (the rest stay pending for the next call). Null when the wait
  // timed out (state unchanged) or failed, or when the peer closed or the
  // socket failed (state INVALID).
  virtual OSBuf* RecWait(int Atimeout);
  // Reads exactly `rlen` bytes into `rbuf`, never more (bytes of a following
  // message stay pending). Each wait for more data allows receive_timeout_ms,
  // and none lasts beyond the deadline when one is set.
  // Returns 0 when all bytes arrived, 1 on an exception condition, 2 when the
  // socket was not ready, 3 when no data came for 10 seconds or the deadline
  // passed (state unchanged), -1 on an error or when the peer closed (state
  // INVALID).
  virtual int RecWait(UBYTE* rbuf, int rlen);
  // Bounds every later receive and send by a deadline `ms` milliseconds from
  // now, until the next SetDeadline or ClearDeadline.
  void SetDeadline(int ms);
  void ClearDeadline();
  // Accepts a connection on a listening socket. Returns a new CONNECTED
  // TCP_SERVER socket owned by the caller, or null (printed) on failure.
  virtual Socket* Accept();
  // Closes the descriptor (s = -1); state INVALID. Safe to repeat.
  virtual void Close();
  // Appends `buf` (now the socket's) to the send queue; nothing is sent until
  // FlushQueue. Queued bytes are packed into the free room of the last queued
  // buffer where they fit. Returns 0.
  virtual int Queue(OSBuf* buf);
  // Sends the queued buffers in order through DataIndication, printing the
  // queue size and peer first when `ptrace` is set. Returns 0.
  virtual int FlushQueue(bool ptrace);
  // Blocking connect to `addr`:`port` (host byte order). CONNECTED on
  // success; on failure printed, state unchanged.
  virtual void Connect(unsigned long addr, unsigned short port);
  // Does nothing.
  virtual void ConnectAck();
  // One sendto() of `buf` to `dstAddr`:`dstPort` (host byte order); frees
  // `buf`. Success, or NoConnection (printed, state INVALID).
  virtual OSIORetCode SendTo(OSBuf* buf, unsigned long dstAddr,
                             unsigned short dstPort);
  // True for a socket that speaks TLS.
  virtual bool Secure();

  // The peer address as dotted text, in the system's static buffer that the
  // next call overwrites.
  char* RemoteIPText();
  unsigned long RemoteIP_n();
  unsigned long RemoteIP_h();
  // The peer's host name when it was looked up by name, else null. Valid
  // while the socket lives.
  char* RemoteHostname();
  unsigned short RemotePort();
  // The local address, read from the system first when still unknown.
  unsigned long LocalIP_n();
  unsigned long LocalIP_h();
  unsigned short LocalPort();

  Type type = UDP;
  SocketState state = INVALID;
  sockaddr_in local_sin{};      // local address and port, network byte order
  sockaddr_in remote_sin{};     // peer address and port, network byte order
  int s = -1;                   // the system descriptor; -1 when closed
  OSStream queue{1, 0};         // buffers waiting for FlushQueue (compressible)
  hostent* phostent = nullptr;  // &rmthostent after a look-up by name
  hostent rmthostent{};         // the peer's host entry; h_name null for
                                // addresses, and no alias or address lists

  static CRITICAL_SECTION cs;          // guards socket_list
  static OSIndirectList* socket_list;  // every live socket
  static unsigned long local_ipaddr;   // host byte order, 0 = any
  static bool SocketsInitialised;      // Init has run

 protected:
  // poll() on one descriptor, resumed after signals with the time left.
  static int Poll(pollfd* pfd, int timeout_ms);
  // What WaitReadable saw on the descriptor.
  enum Readiness {
    kWaitFailed,  // the wait itself failed (errno set)
    kTimedOut,    // nothing within the time allowed
    kReadable,    // data, end of stream or an error to collect
    kException,   // urgent data only
    kBoth,        // readable and urgent data at once
    kNotReady,    // neither (also for a closed descriptor)
  };
  // Waits up to `timeout_ms` for the descriptor to become readable or to
  // show an exception condition.
  Readiness WaitReadable(int timeout_ms);
  // `limit_ms` (negative: no limit), shortened to the time left before the
  // deadline when one is set (0 once it has passed).
  int TimeLeft(int limit_ms) const;
  // True when a deadline is set and has passed.
  bool DeadlinePassed() const;
  // Reads the local address into local_sin; 0, or the errno of the failure.
  int ReadLocalAddress();
  // Prints "<what> error <err> to <to_addr>:<to_port> from <local>:<port>"
  // with the addresses in host byte order as 8 hexadecimal digits.
  void PrintPeerError(const char* what, int err, unsigned long to_addr,
                      unsigned short to_port);
  // accept() on the descriptor; the new descriptor, or -1 (printed).
  int AcceptDescriptor(sockaddr_in* peer, int* peer_len);

 private:
  // Enters the socket into socket_list (initialising the class first).
  void Register();
  // Creates the descriptor with the 5-second send time-out and address
  // reuse; false (printed) when socket() fails.
  bool CreateDescriptor();
  // Fills remote_sin's address from `hostname`; false when there is none.
  bool Resolve(const char* hostname);
  // Non-blocking connect to remote_sin, allowing 2 seconds; on failure
  // prints, closes and returns false.
  bool ConnectWithTimeout();
  // Writes all `n` bytes at `p`; 0, or the errno of the failure (ETIMEDOUT
  // when the time allowed passed first).
  int SendAll(const UBYTE* p, size_t n);

  // The outcome of one receive step.
  enum class Received {
    kData,        // at least one byte received
    kTimedOut,    // nothing within the time allowed
    kWaitFailed,  // the wait itself failed (errno set)
    kAmbiguous,   // readable and urgent data at once
    kException,   // urgent data only (printed, state INVALID)
    kNotReady,    // neither (printed, state INVALID)
    kClosed,      // the peer closed (state INVALID)
    kFailed,      // FIONREAD or recv failed (printed, state INVALID)
  };
  // Waits up to `timeout_ms` for the descriptor, asks how many bytes are
  // pending and receives at most `max` of them into the room `place(n)`
  // gives for n bytes; the count goes to `*got`.
  Received ReceiveStep(int timeout_ms, int max,
                       const std::function<UBYTE*(int n)>& place, int* got);

  std::string rmthostname;  // storage behind rmthostent.h_name
  bool has_deadline = false;
  std::chrono::steady_clock::time_point deadline;  // valid when has_deadline
};

#endif  // NETWORK_SOCKET_H_
