// A directory session: what the program holds to talk to the directory. It
// remembers the server, bind name and password, and either creates and binds
// its own LDAPClient on port 4000 or borrows the client of another session on
// the same server, bind name and password. Searches and updates are forwarded
// to the client; entries are read into rows and tables (ldap/LDAPTable.h).
//
// Failures to connect or bind are thrown as a `char*` text held in one static
// 2,048-byte buffer (texts longer than that are cut), which the next failure
// overwrites. Forwarding calls on a session without a client return -1.
//
// A session and the client it uses belong to one thread at a time; the
// class-wide proxy setting and error buffer are not locked.
#ifndef LDAP_LDAPSESSION_H_
#define LDAP_LDAPSESSION_H_

#include "common/UString.h"
#include "ldap/LDAPClient.h"
#include "ldap/LDAPTable.h"

class LDAPSession {
 public:
  // The directory's port; always used.
  static constexpr unsigned short kPort = 4000;
  // Size of the static error text buffer.
  static constexpr int kErrorSize = 2048;

  // Both call Init(session, server, userName, password).
  LDAPSession(const char* Aserver, const char* userName, const char* password,
              LDAPSession* session);
  LDAPSession(LDAPSession* session, const char* server, const char* userName,
              const char* password);
  // A session on the server and connection of `session`: Init(session, "",
  // null, null).
  explicit LDAPSession(LDAPSession* session);
  // Close().
  ~LDAPSession();
  LDAPSession(const LDAPSession&) = delete;
  LDAPSession& operator=(const LDAPSession&) = delete;

  // Routes every session created from now on through the relaying proxy at
  // `addr`:`port`; a null `addr` turns the proxy off.
  static void SetProxy(const char* addr, unsigned short port);
  // The protocol version of the binds of sessions opened from now on: 0 (the
  // default; also for any value other than 2 or 3) binds as version 2 and,
  // only when the server answers protocolError, again as version 3 on the
  // same connection; 2 or 3 bind with that version only.
  static void SetProtocolVersion(int version);

  // Opens the session, first letting go of any client it holds (as Close
  // does). Server: `Aserver` when not empty, else the server of
  // `session` when given, else GetDefaultLDAPServer(). Bind name and
  // password: the arguments, or GetDefaultLDAPUserName() /
  // GetDefaultLDAPPassword() when null. When `session` is on the same server
  // and either both `userName` and `password` are null (the session takes
  // over the identity of `session`) or the bind name and password chosen
  // equal those of `session`, its client is borrowed and no connection is
  // made. Otherwise a client is created (through the proxy when
  // one is set) and bound (see SetProtocolVersion); `res` is the bind
  // result. A failed bind is followed by an unbind before the connection is
  // closed. Throws (after printing
  // "LDAPSession error %s") "LDAPSession Failed to connect to server=%s
  // user=%s\n" or "LDAPSession Failed to authenticate with server=%s
  // user=%s\n"; the session then has no client. An empty server prints
  // "LDAPSession empty ldap_server" and leaves the session without a client.
  void Init(LDAPSession* session, const char* Aserver, const char* userName,
            const char* password);
  // Deletes a client this session created (unbinding it); a borrowed client
  // only has its search in progress discarded.
  void Close();
  // Makes sure a bound client exists: when there is none, or it is not
  // BOUND, a new own client (never through the proxy) is created and bound,
  // with the default server, and then default bind name and password for
  // empty ones, when the server is empty. Throws the texts of Init (without
  // printing them); the session then has no client.
  void CheckConnection();

  // The client's Search; -1 without a client. A search answer that cannot be
  // matched to its request (LDAPClient::kUnmatched) closes the session and
  // gives -1.
  int Search(const char* base, int scope, const char* filter,
             const char* const* attrs, int attrsonly, int sizelimit,
             int timeout, int deref);
  // Forwarded to the client (see LDAPClient); -1 without a client.
  int GetNextEntry(int& errorcode);
  // Forwarded to the client; 0 (no pair, `a` and `v` untouched) without a
  // client, so that a loop over the pairs ends.
  int FirstAttribute(char*& a, char*& v);
  int NextAttribute(char*& a, char*& v);
  // Forwarded to the client; -1 without a client.
  int Modify(const char* dn, const LDAPMod* mods);
  int ModRDN(const char* dn, const char* newrdn);
  int Add(const char* dn, const LDAPMod* attrs);
  int Delete(const char* dn);
  // The current entry's name; "" (never null) without a client or entry.
  char* CurrentObject();
  // Discards the client's search in progress, when there is a client.
  void Flush();

  LDAPClient* ldap_client;  // the connection; null when none
  int res;                  // last bind or row operation result; 0 after
                            // construction, -1 while connecting or failed
  bool created;             // this session created ldap_client and deletes it
  UString ldap_server;      // server address
  UString ldap_user;        // bind name
  UString ldap_password;    // bind password

  static UString* proxyAddr;        // relaying proxy; null when none
  static unsigned short proxyPort;  // the proxy's port
  static int protocolVersion;       // 0 automatic, 2 or 3 fixed

 private:
  // True when a session opened on `session` with these arguments (already
  // resolved into ldap_server, ldap_user and ldap_password) may borrow its
  // client.
  bool MayShare(const LDAPSession* session, const char* userName,
                const char* password) const;
  // Creates an own client and binds it; on failure formats the error text
  // into error_buffer and returns it (the client is then gone), else null.
  char* Connect(const char* proxy, unsigned short proxy_port);

  static char error_buffer[kErrorSize];  // the thrown error text
};

#endif  // LDAP_LDAPSESSION_H_
