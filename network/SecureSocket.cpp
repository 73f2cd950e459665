#include "network/SecureSocket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <openssl/err.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <pthread.h>
#include <signal.h>

#include <ctime>

#include "kernel/OSBuf.h"
#include "kernel/OSConsole.h"
#include "kernel/OSKernel.h"

namespace {

const char kCipherList[] =
    "RSA+AESGCM:RSA+AES:ECDH+AESGCM:DH+AESGCM:ECDH+AES256:DH+AES256:"
    "ECDH+AES128:DH+AES:!aNULL:!MD5";
const int kHandshakeStepMs = 10000;
const int kWriteStepMs = 5000;
const int kReadStepMs = 10000;

// OpenSSL writes to the descriptor with write(), which raises SIGPIPE when
// the peer has gone. While a guard lives SIGPIPE is blocked in this thread;
// a SIGPIPE raised meanwhile is consumed so that it never ends the process.
class SigPipeGuard {
 public:
  SigPipeGuard() {
    sigemptyset(&pipe_);
    sigaddset(&pipe_, SIGPIPE);
    sigset_t pending;
    sigpending(&pending);
    was_pending_ = sigismember(&pending, SIGPIPE) == 1;
    pthread_sigmask(SIG_BLOCK, &pipe_, &old_mask_);
  }
  ~SigPipeGuard() {
    sigset_t pending;
    sigpending(&pending);
    if (!was_pending_ && sigismember(&pending, SIGPIPE) == 1) {
      const timespec no_wait{0, 0};
      sigtimedwait(&pipe_, nullptr, &no_wait);
    }
    pthread_sigmask(SIG_SETMASK, &old_mask_, nullptr);
  }
  SigPipeGuard(const SigPipeGuard&) = delete;
  SigPipeGuard& operator=(const SigPipeGuard&) = delete;

 private:
  sigset_t pipe_;
  sigset_t old_mask_;
  bool was_pending_;
};

}  // namespace

SecureSocket::SecureSocket(Type Atype, unsigned short listen_port, bool Alisten,
                           unsigned long addr)
    : Socket(Atype, listen_port, Alisten, addr) {}

SecureSocket::SecureSocket(Type Atype, int As, sockaddr_in* Asin, int Asin_len)
    : Socket(Atype, As, Asin, Asin_len) {}

SecureSocket::SecureSocket(Type Atype, const char* hostname,
                           unsigned short port)
    : Socket(Atype, hostname, port),
      peer_name(hostname != nullptr ? hostname : "") {}

SecureSocket::~SecureSocket() { SecureSocket::Close(); }

int SecureSocket::SetKeys(const char* cert, const char* key,
                          const char* ca_cert) {
  if (key_sets == kMaxKeySets) {
    Console->Print("SecureSocket::SetKeys: no room for more than %d key sets",
                   kMaxKeySets);
    return key_sets;
  }
  KeySet& set = keys[key_sets++];
  set.cert = cert != nullptr ? cert : "";
  set.key = key != nullptr ? key : "";
  set.ca_cert = ca_cert != nullptr ? ca_cert : "";
  return key_sets;
}

int SecureSocket::StartSSL(bool server) {
  if (s < 0 || state != CONNECTED || ssl != nullptr) {
    Console->Print("SecureSocket::StartSSL: socket not connected");
    return -1;
  }
  const int setup = SetupContext(server);
  if (setup != 0) return setup;
  ssl = SSL_new(ctx);
  if (ssl == nullptr || SSL_set_fd(ssl, s) != 1) {
    PrintErrors();
    return -1;
  }
  if (!server && !peer_name.empty() &&
      SSL_CTX_get_verify_mode(ctx) != SSL_VERIFY_NONE) {
    // The certificate must name the host we asked for: by address when the
    // host was given as one, else by name.
    in_addr address;
    if (inet_pton(AF_INET, peer_name.c_str(), &address) == 1) {
      X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), peer_name.c_str());
    } else {
      SSL_set1_host(ssl, peer_name.c_str());
    }
  }
  // The descriptor stays non-blocking while TLS runs over it, so that every
  // wait is bounded.
  fcntl(s, F_SETFL, fcntl(s, F_GETFL) | O_NONBLOCK);

  SigPipeGuard guard;
  const char* step = server ? "SSL_accept" : "SSL_connect";
  for (;;) {
    const int r = server ? SSL_accept(ssl) : SSL_connect(ssl);
    Console->Print("SecureSocket::StartSSL: %s returned %d", step, r);
    if (r == 1) break;
    if (WaitForRetry(r, kHandshakeStepMs) != 1) {
      const long verify = SSL_get_verify_result(ssl);
      if (verify != X509_V_OK) {
        Console->Print("SecureSocket::StartSSL: peer not verified: %s",
                       X509_verify_cert_error_string(verify));
      }
      PrintErrors();
      return -4;
    }
  }
  ssl_connected = true;
  return 0;
}

int SecureSocket::SetupContext(bool server) {
  ctx = SSL_CTX_new(server ? TLS_server_method() : TLS_client_method());
  if (ctx == nullptr) {
    PrintErrors();
    return -1;
  }
  SSL_CTX_set_mode(ctx, SSL_MODE_ENABLE_PARTIAL_WRITE);
  Console->Print("TLSSetup: setting cipher list to %s", kCipherList);
  if (SSL_CTX_set_cipher_list(ctx, kCipherList) != 1) {
    PrintErrors();
    return -1;
  }
  SSL_CTX_set_options(
      ctx, SSL_OP_NO_SSLv2 | SSL_OP_NO_SSLv3 | SSL_OP_CIPHER_SERVER_PREFERENCE);

  const KeySet* chosen = nullptr;
  for (int i = 0; i < key_sets && chosen == nullptr; ++i) {
    if (!keys[i].cert.empty() && !keys[i].key.empty()) chosen = &keys[i];
  }
  if (chosen != nullptr) {
    if (SSL_CTX_use_certificate_chain_file(ctx, chosen->cert.c_str()) != 1) {
      Console->Print("SecureSocket: cannot load certificate %s",
                     chosen->cert.c_str());
      PrintErrors();
      return -2;
    }
    if (SSL_CTX_use_PrivateKey_file(ctx, chosen->key.c_str(),
                                    SSL_FILETYPE_PEM) != 1 ||
        SSL_CTX_check_private_key(ctx) != 1) {
      Console->Print("SecureSocket: cannot load private key %s",
                     chosen->key.c_str());
      PrintErrors();
      return -2;
    }
  } else if (server) {
    Console->Print("SecureSocket: a server needs a certificate and a key");
    return -2;
  }

  // The CA of the chosen set; a client without a certificate may name one
  // in its first set.
  const KeySet* ca_set = chosen != nullptr ? chosen
                         : key_sets > 0    ? &keys[0]
                                           : nullptr;
  if (ca_set == nullptr || ca_set->ca_cert.empty()) {
    SSL_CTX_set_verify(ctx, SSL_VERIFY_NONE, nullptr);
    return 0;
  }
  if (SSL_CTX_load_verify_locations(ctx, ca_set->ca_cert.c_str(), nullptr) !=
      1) {
    Console->Print("SecureSocket: cannot load CA file %s",
                   ca_set->ca_cert.c_str());
    PrintErrors();
    return -3;
  }
  SSL_CTX_set_verify(
      ctx, SSL_VERIFY_PEER | (server ? SSL_VERIFY_FAIL_IF_NO_PEER_CERT : 0),
      nullptr);
  return 0;
}

int SecureSocket::WaitForRetry(int ret, int timeout_ms) {
  short events = 0;
  switch (SSL_get_error(ssl, ret)) {
    case SSL_ERROR_WANT_READ:
      events = POLLIN;
      break;
    case SSL_ERROR_WANT_WRITE:
      events = POLLOUT;
      break;
    default:
      return -1;
  }
  pollfd pfd{s, events, 0};
  const int r = Poll(&pfd, timeout_ms);
  if (r == 0) return 0;
  return r > 0 ? 1 : -1;
}

Socket::OSIORetCode SecureSocket::DataIndication(OSBuf* buf) {
  if (buf == nullptr) return Success;
  bool sent = ssl_connected;
  {
    SigPipeGuard guard;
    int done = 0;
    while (sent && done < buf->length) {
      const int r = SSL_write(ssl, buf->data + done, buf->length - done);
      if (r > 0) {
        done += r;
        continue;
      }
      write_blocked_on_read = SSL_get_error(ssl, r) == SSL_ERROR_WANT_READ;
      sent = WaitForRetry(r, kWriteStepMs) == 1;
    }
  }
  buf->Free();
  if (!sent) {
    Console->Print("SecureSocket::DataIndication: SSL_write error to %s",
                   RemoteIPText());
    PrintErrors();
    state = INVALID;
    return NoConnection;
  }
  return Success;
}

int SecureSocket::ReadSome(UBYTE* dst, int len, int timeout_ms) {
  for (;;) {
    const int r = SSL_read(ssl, dst, len);
    if (r > 0) {
      read_blocked = read_blocked_on_write = false;
      return r;
    }
    const int err = SSL_get_error(ssl, r);
    if (err == SSL_ERROR_ZERO_RETURN) return 0;
    read_blocked = err == SSL_ERROR_WANT_READ;
    read_blocked_on_write = err == SSL_ERROR_WANT_WRITE;
    const int wait = WaitForRetry(r, timeout_ms);
    if (wait == 0) return -2;
    if (wait < 0) {
      Console->Print("SecureSocket::RecWait: SSL_read error %d", err);
      PrintErrors();
      return -1;
    }
  }
}

OSBuf* SecureSocket::RecWait(int Atimeout) {
  if (!ssl_connected) return nullptr;
  const int largest = KERNELCFG->buf_size[3] - 1;
  OSBuf* buf = OSBuf::Alloc(largest);
  buf->PushDown(static_cast<unsigned short>(largest));
  int got;
  {
    SigPipeGuard guard;
    got = ReadSome(buf->data, largest, Atimeout);
  }
  if (got <= 0) {
    buf->Free();
    if (got != -2) state = INVALID;
    return nullptr;
  }
  buf->length = static_cast<unsigned short>(got);
  return buf;
}

int SecureSocket::RecWait(UBYTE* rbuf, int rlen) {
  if (!ssl_connected) return -1;
  SigPipeGuard guard;
  int got = 0;
  while (got < rlen) {
    const int r = ReadSome(rbuf + got, rlen - got, kReadStepMs);
    if (r == -2) return 3;
    if (r <= 0) {
      state = INVALID;
      return -1;
    }
    got += r;
  }
  return 0;
}

Socket* SecureSocket::Accept() {
  sockaddr_in peer{};
  int peer_len = 0;
  const int fd = AcceptDescriptor(&peer, &peer_len);
  if (fd < 0) return nullptr;
  SecureSocket* accepted = new SecureSocket(TCP_SERVER, fd, &peer, peer_len);
  for (int i = 0; i < key_sets; ++i) {
    accepted->SetKeys(keys[i].cert.c_str(), keys[i].key.c_str(),
                      keys[i].ca_cert.c_str());
  }
  return accepted;
}

void SecureSocket::Close() {
  if (ssl != nullptr) {
    if (ssl_connected) {
      SigPipeGuard guard;
      SSL_shutdown(ssl);
    }
    SSL_free(ssl);
    ssl = nullptr;
  }
  if (ctx != nullptr) {
    SSL_CTX_free(ctx);
    ctx = nullptr;
  }
  ssl_connected = false;
  Socket::Close();
}

bool SecureSocket::Secure() { return true; }

void SecureSocket::PrintErrors() {
  while (const unsigned long e = ERR_get_error()) {
    char text[256];
    ERR_error_string_n(e, text, sizeof(text));
    Console->Print("SSL error %lx (%s)", e, text);
  }
}
