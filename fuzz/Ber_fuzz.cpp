// Fuzz target: the BER element decoders and the framing of directory
// messages as received from a server (or a client, for the request
// decoders). Every decoder must stay inside the bytes it is given, and
// framing must consume whole messages from the stream until it ends.
#include <sys/socket.h>
#include <unistd.h>

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "kernel/OSConsole.h"
#include "kernel/OSKernel.h"
#include "ldap/ASN1.h"
#include "ldap/LDAPResponse.h"
#include "network/Socket.h"

namespace {

// Decoders report malformed input through the console; the reports are
// dropped here, so that the fuzzer measures the decoders.
class QuietConsole : public OSConsole {
 public:
  void vPrint(const char* /*fmt*/, va_list /*args*/) override {}
};

void Setup() {
  static bool done = false;
  if (done) return;
  done = true;
  os_startup(0, 0, nullptr);
  Console = new QuietConsole;
}

// Runs the decoder `Decoder` over the whole input, as the message decoders
// are run on a received message.
template <typename Decoder>
void DecodeAll(std::vector<unsigned char>& bytes) {
  unsigned char* dp = bytes.data();
  std::unique_ptr<Decoder> decoded(
      new Decoder(dp, bytes.data() + bytes.size()));
  if (dp < bytes.data() || dp > bytes.data() + bytes.size()) __builtin_trap();
}

// Element decoders one after another, as a sequence's content is read.
void DecodeElements(std::vector<unsigned char>& bytes) {
  unsigned char* dp = bytes.data();
  const unsigned char* end = bytes.data() + bytes.size();
  while (dp < end) {
    unsigned char* before = dp;
    if (*dp == 0x02 || *dp == 0x0A || *dp == 0x01) {
      ASN1Integer value(dp, end);
    } else {
      ASN1String value(dp, end);
    }
    if (dp > end) __builtin_trap();
    if (dp == before) ++dp;  // a malformed element: go on after its tag
  }
}

// Frames and decodes every message of the input as a stream from a peer
// that then closes the connection.
void FrameStream(const uint8_t* data, size_t size) {
  int fds[2];
  if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) return;
  size_t written = 0;
  while (written < size) {
    const ssize_t n = write(fds[1], data + written, size - written);
    if (n <= 0) break;
    written += static_cast<size_t>(n);
  }
  close(fds[1]);
  Socket s(Socket::TCP_SERVER, fds[0], nullptr, 0);
  int err = 0;
  do {
    delete LDAPMessage_rx::GetMsg(&s, &err);
  } while (s.state == Socket::CONNECTED);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Setup();
  std::vector<unsigned char> bytes(data, data + size);
  DecodeElements(bytes);
  DecodeAll<LDAPResult_rx>(bytes);
  DecodeAll<LDAPSearchRes_rx>(bytes);
  DecodeAll<LDAPBindReq_rx>(bytes);
  DecodeAll<LDAPUnbindReq_rx>(bytes);
  DecodeAll<LDAPModifyReq_rx>(bytes);
  DecodeAll<LDAPAddReq_rx>(bytes);
  DecodeAll<LDAPDelReq_rx>(bytes);
  DecodeAll<LDAPModRDNReq_rx>(bytes);
  DecodeAll<LDAPModification_rx>(bytes);
  DecodeAll<LDAPAddAttr_rx>(bytes);
  FrameStream(data, size);
  return 0;
}
