// Helpers for directory tests against a scripted peer: BER built by hand
// (independent of the codec under test), one-message reads on the peer's
// side of a LoopbackPeer connection, and a peer reached through the
// sessions' relaying proxy.
#ifndef TESTS_LDAP_LDAPPEER_H_
#define TESTS_LDAP_LDAPPEER_H_

#include <sys/socket.h>

#include <functional>
#include <string>
#include <vector>

#include "ldap/LDAPSession.h"
#include "tests/ldap/BerHex.h"
#include "tests/network/LoopbackPeer.h"

namespace ldappeer {

inline std::string Raw(const std::string& hex) {
  const std::vector<unsigned char> bytes = Bytes(hex);
  return std::string(bytes.begin(), bytes.end());
}

// One element with a definite length in the shortest form.
inline std::string TLV(unsigned char tag, const std::string& content) {
  std::string octets;
  for (size_t v = content.size(); v != 0; v >>= 8)
    octets.insert(0, 1, static_cast<char>(v));
  if (content.size() < 0x80)
    octets = std::string(1, static_cast<char>(content.size()));
  else
    octets.insert(0, 1, static_cast<char>(0x80 | octets.size()));
  return std::string(1, static_cast<char>(tag)) + octets + content;
}

// An integer (or enumerated, boolean) in the shortest two's-complement form.
inline std::string Int(long v, unsigned char tag = 0x02) {
  std::string octets;
  do {
    octets.insert(0, 1, static_cast<char>(v & 0xFF));
    v >>= 8;
  } while (!((v == 0 && (octets[0] & 0x80) == 0) ||
             (v == -1 && (octets[0] & 0x80) != 0)));
  return TLV(tag, octets);
}

inline std::string Str(const std::string& s, unsigned char tag = 0x04) {
  return TLV(tag, s);
}
inline std::string Msg(long id, const std::string& op) {
  return TLV(0x30, Int(id) + op);
}
inline std::string Result(unsigned char tag, int code,
                          const std::string& error = "") {
  return TLV(tag, Int(code, 0x0A) + Str("") + Str(error));
}

// A search result entry; each attribute with all its values.
inline std::string Entry(
    const std::string& dn,
    const std::vector<std::pair<std::string, std::vector<std::string>>>&
        attrs) {
  std::string list;
  for (const auto& attr : attrs) {
    std::string values;
    for (const std::string& v : attr.second) values += Str(v);
    list += TLV(0x30, Str(attr.first) + TLV(0x31, values));
  }
  return TLV(0x64, Str(dn) + TLV(0x30, list));
}

// Appends exactly `n` bytes read from `fd` to `out`; false when the
// connection ended first.
inline bool ReadExactly(int fd, std::string& out, size_t n) {
  char chunk[4096];
  while (n > 0) {
    const ssize_t got =
        recv(fd, chunk, n < sizeof(chunk) ? n : sizeof(chunk), 0);
    if (got <= 0) return false;
    out.append(chunk, static_cast<size_t>(got));
    n -= static_cast<size_t>(got);
  }
  return true;
}

// Reads one whole element (a request); "" when the connection ended.
inline std::string ReadFrame(int fd) {
  std::string frame;
  if (!ReadExactly(fd, frame, 2)) return "";
  size_t length = static_cast<unsigned char>(frame[1]);
  if (length & 0x80) {
    if (!ReadExactly(fd, frame, length & 0x7F)) return "";
    length = 0;
    for (size_t i = 2; i < frame.size(); ++i)
      length = (length << 8) | (frame[i] & 0xFF);
  }
  return ReadExactly(fd, frame, length) ? frame : "";
}

// Where the message ID starts in a frame.
inline size_t IdAt(const std::string& frame) {
  return (frame[1] & 0x80) ? 2 + (frame[1] & 0x7F) : 2;
}
inline long FrameId(const std::string& frame) {
  const size_t at = IdAt(frame);
  long id = (frame[at + 2] & 0x80) ? -1 : 0;
  for (int i = 0; i < frame[at + 1]; ++i)
    id = (id << 8) | (frame[at + 2 + i] & 0xFF);
  return id;
}
// The operation (tag and content) of a frame.
inline std::string Op(const std::string& frame) {
  const size_t at = IdAt(frame);
  return frame.substr(at + 2 + frame[at + 1]);
}

inline void Send(int fd, const std::string& bytes) {
  LoopbackPeer::Send(fd, bytes);
}
// Waits until the client closes the connection; returns what it sent.
inline std::string Drain(int fd) { return LoopbackPeer::ReadAll(fd, 1 << 20); }

// Reads the next request into `frames` and answers it with a result.
inline void Answer(int fd, std::vector<std::string>& frames, unsigned char tag,
                   int code = 0) {
  frames.push_back(ReadFrame(fd));
  Send(fd, Msg(FrameId(frames.back()), Result(tag, code)));
}

// Shortens the directory client's time for each operation while it exists.
class OperationTimeout {
 public:
  explicit OperationTimeout(int ms) { LDAPClient::SetOperationTimeout(ms); }
  ~OperationTimeout() { LDAPClient::SetOperationTimeout(10000); }
};

// A directory reached through the sessions' relaying proxy while this object
// exists: the peer reads the preamble's destination into `preamble`, answers
// the bind (the first of `frames`) with `bind_code`, then runs `script`.
// Sessions using it must end before it.
class ProxiedDirectory {
 public:
  explicit ProxiedDirectory(std::function<void(int fd)> script,
                            int bind_code = 0)
      : peer_([this, script, bind_code](int fd) {
          std::string length;
          if (!ReadExactly(fd, length, 1)) return;
          ReadExactly(fd, preamble, static_cast<unsigned char>(length[0]));
          Answer(fd, frames, 0x61, bind_code);
          script(fd);
        }) {
    LDAPSession::SetProxy("127.0.0.1", peer_.port());
  }
  ~ProxiedDirectory() { LDAPSession::SetProxy(nullptr, 0); }

  std::string preamble;
  std::vector<std::string> frames;

 private:
  LoopbackPeer peer_;
};

}  // namespace ldappeer

#endif  // TESTS_LDAP_LDAPPEER_H_
