// A Socket that speaks TLS (OpenSSL) once StartSSL has completed the
// handshake, as client or server.
//
// The library's default key exchange is used (no fixed Diffie-Hellman
// parameters). When a CA file is given the peer's certificate is verified:
// a client checks the server's chain and its name or address, a server
// demands and checks a client certificate. Without a CA file any peer
// certificate is accepted.
//
// Ownership and threading follow Socket. Until StartSSL succeeds the data
// operations refuse (NoConnection / -1 / null).
#ifndef NETWORK_SECURESOCKET_H_
#define NETWORK_SECURESOCKET_H_

#include <openssl/ssl.h>

#include <string>

#include "network/Socket.h"

class SecureSocket : public Socket {
 public:
  // As the matching Socket constructors.
  SecureSocket(Type Atype, unsigned short listen_port, bool Alisten,
               unsigned long addr = 0);
  SecureSocket(Type Atype, int As, sockaddr_in* Asin, int Asin_len);
  SecureSocket(Type Atype, const char* hostname, unsigned short port);
  // Shuts the TLS connection down and frees the library's objects.
  ~SecureSocket() override;

  // Records the certificate chain, private key and CA file names of one key
  // set (up to three sets; a fourth call is ignored with a message). Any name
  // may be null. Returns the number of sets recorded.
  int SetKeys(const char* cert, const char* key, const char* ca_cert);
  // Sets up the TLS context with the first key set that names both a
  // certificate and a key (a client may have none) and performs the
  // handshake over the connected descriptor (SSL_accept when `server`, else
  // SSL_connect), allowing 10 seconds for each step of it.
  // Returns 0 when connected; -1 without a connected descriptor or when the
  // context cannot be made, -2 when the certificate or key cannot be loaded,
  // -3 when the CA file cannot be loaded, -4 when the handshake fails.
  int StartSSL(bool server);

  // Encrypts and sends the bytes of `buf` and frees `buf`. Success, or
  // NoConnection (printed, state INVALID).
  OSIORetCode DataIndication(OSBuf* buf) override;
  // As Socket::RecWait over the decrypted stream.
  OSBuf* RecWait(int Atimeout) override;
  int RecWait(UBYTE* rbuf, int rlen) override;
  // Returns a SecureSocket (not yet handshaken) for the accepted connection,
  // carrying this socket's key sets; null on failure.
  Socket* Accept() override;
  // Sends the TLS close notification, then closes the descriptor.
  void Close() override;
  bool Secure() override;

  SSL_CTX* ctx = nullptr;              // context of this connection
  SSL* ssl = nullptr;                  // the TLS connection
  bool read_blocked = false;           // the last read waited for input
  bool read_blocked_on_write = false;  // the last read had to write first
  bool write_blocked_on_read = false;  // the last write had to read first
  bool ssl_connected = false;          // the handshake completed

 private:
  struct KeySet {
    std::string cert, key, ca_cert;
  };
  static const int kMaxKeySets = 3;

  int SetupContext(bool server);
  // After an OpenSSL call returned `ret`, waits up to `timeout_ms` until the
  // descriptor is ready for what OpenSSL asked. Returns 1 when the call may
  // be repeated, 0 when the wait timed out, -1 when the call failed for good
  // (or the peer closed).
  int WaitForRetry(int ret, int timeout_ms);
  // Reads up to `len` decrypted bytes, waiting up to `timeout_ms` for each
  // step. Returns the count, 0 when the peer closed, -1 on failure (printed),
  // -2 when the wait timed out.
  int ReadSome(UBYTE* dst, int len, int timeout_ms);
  // Prints and clears the queued OpenSSL errors.
  void PrintErrors();

  KeySet keys[kMaxKeySets];
  int key_sets = 0;       // number of key sets recorded
  std::string peer_name;  // host text the server's certificate must match
};

#endif  // NETWORK_SECURESOCKET_H_
