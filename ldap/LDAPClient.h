// Synchronous directory (LDAP version 2, version 3 on request) client over one
// TCP connection: each call sends one request, waits for its answer and
// returns a status. A search keeps its current entry inside the client and is
// walked entry by entry.
//
// Status values: 0 success (also a search that produced its first entry or
// ended without entries); the server's non-zero result code, passed through;
// and the client's own codes, all above kFirstClientCode so that no result
// code of the protocol (0 to 123 and 4096 are assigned) is taken for one:
// kUnexpectedAnswer an answer of another type than expected; kNotBound a
// search before a successful bind; kUnmatched a search answer that belongs
// to no recent request; kServerDown socket not connected, send failed, or
// no message could be read; kFilterError the search filter is invalid and
// nothing was sent.
// Nothing is thrown and nothing is retried, except a bind refused with
// protocolError (see SimpleBind).
//
// Limits: each operation (bind, search with all its entries, update, unbind)
// must end within operation_timeout_ms (10 s by default) of its start,
// whatever the server sends or how slowly; when the time is up the
// connection is closed and the status is kServerDown. Within one operation
// at most kMaxStaleAnswers (64) answers of earlier requests are skipped
// (the first printed, the rest summed up in one line); one more closes the
// connection (kServerDown). Connecting is the socket's matter (2 s).
//
// The client can reach the server through a relaying proxy that is told the
// destination in a short preamble (one length octet and "host:port").
//
// A client is used by one thread at a time and is not locked. Directory
// sessions (LDAPSession) own the clients.
#ifndef LDAP_LDAPCLIENT_H_
#define LDAP_LDAPCLIENT_H_

#include "ldap/LDAPRequest.h"
#include "ldap/LDAPResponse.h"
#include "network/Socket.h"

class LDAPClient {
 public:
  enum LDAPState { FAILED = 0, CONNECTED = 1, BOUND = 2, FINISHED = 3 };

  // The client's own status codes; the last digits recall the protocol's
  // codes of the same meaning (protocolError 2, insufficientAccessRights 50,
  // other 80, and the C API's server down 81 and filter error 87).
  static constexpr int kFirstClientCode = 10000;
  static constexpr int kUnexpectedAnswer = kFirstClientCode + 2;
  static constexpr int kNotBound = kFirstClientCode + 50;
  static constexpr int kUnmatched = kFirstClientCode + 80;
  static constexpr int kServerDown = kFirstClientCode + 81;
  static constexpr int kFilterError = kFirstClientCode + 87;

  // Answers of earlier requests skipped within one operation before the
  // connection is given up.
  static constexpr int kMaxStaleAnswers = 64;
  // Time allowed for each operation, in milliseconds; 10,000 unless changed
  // with SetOperationTimeout (which applies to operations started later).
  static int operation_timeout_ms;
  static void SetOperationTimeout(int ms);

  // Connects to `hostname`:`portnum`, or to `proxyAddr`:`proxyPort` when
  // `proxyAddr` is given and then announces `hostname`:`portnum` to the
  // proxy. `state` is CONNECTED on success, else FAILED. A destination text
  // longer than 255 bytes cannot be announced: the connection is closed
  // ("LDAPClient: proxy destination too long") and the state is FAILED.
  LDAPClient(const char* hostname, unsigned short portnum,
             const char* proxyAddr = nullptr, unsigned short proxyPort = 0);
  // Deletes the current entry, unbinds (Unbind) and closes the connection.
  ~LDAPClient();
  LDAPClient(const LDAPClient&) = delete;
  LDAPClient& operator=(const LDAPClient&) = delete;

  // Releases the request classes' shared state once every client is gone.
  static void Cleanup();
  // The fixed text sent as the bind password when none is given.
  static const char* GetMacStr();

  // The message ID for the next request: tx_msg_id + 1, or 0 when that would
  // be negative as a signed 32-bit number. Stored in tx_msg_id.
  unsigned long NextTxId();

  // Simple bind with `dn` and `passwd` (GetMacStr() when null). 0 makes the
  // state BOUND. The answer's message ID is not checked.
  // `version` 2 or 3 binds with that protocol version only. Any other value
  // (0, the default) binds as version 2 and, when and only when the server
  // answers that bind with protocolError (2), binds again as version 3 on the
  // same connection ("LDAPClient::SimpleBind: version 2 refused, binding as
  // version 3"); the second bind's status is returned.
  int SimpleBind(const char* dn, const char* passwd, int version = 0);
  // When the connection is open (BOUND, or CONNECTED after a bind that
  // failed), sends an unbind request and closes the socket. The state
  // becomes FINISHED in every case. Returns 0.
  int Unbind();

  // Starts a search (discarding what remains of a previous one) and reads its
  // first answer. `attrs` is a null-terminated list of attribute names (null
  // means all: "*"); scope and deref are the protocol numbers (0 base, 1 one
  // level, 2 subtree; 0 never dereference). Returns 0 with the first entry
  // current, or 0 with none when the search ended at once; otherwise the
  // status (kFilterError without sending for an invalid filter). A socket
  // found disconnected makes the state FAILED.
  int Search(const char* base, int scope, const char* filter,
             const char* const* attrs, int attrsonly, int sizelimit,
             int timeout, int deref);
  // Moves to the next entry of the current search. Returns 1 when an entry is
  // current; 0 when the search ended (`error_code` = its result code) or
  // failed (`error_code` = status). A search-done answer carrying the ID of
  // an earlier request (up to 4 behind) is skipped and the next answer read,
  // at most six times in a row; otherwise `error_code` is kUnmatched. Entries
  // of such earlier requests (left behind by a search that ended in an
  // error) are skipped too, and an entry of any other request gives
  // kUnmatched ("LDAPClient::GetNextEntry SEARCH_ENTRY expected id %lu got
  // %lu"): an entry is never taken for the wrong search. Callers pass
  // `level` 0.
  int GetNextEntry(int& error_code, int level = 0);
  // The current entry's name; null when no entry is current. Valid until the
  // entry changes.
  char* CurrentObject();
  // Walk the current entry's name/value pairs (see LDAPSearchRes_rx); 0 when
  // no entry is current or no pair is left. Pointers valid until the entry
  // changes.
  int FirstAttribute(char*& a, char*& v);
  int NextAttribute(char*& a, char*& v);
  // Reads and discards what remains of the current search, within the
  // search's time.
  void Flush();

  // One request each; a search in progress is discarded first. Only a
  // connected socket is needed, not a bind. Server refusals are printed
  // ("LDAP Modify: result=%d" and likewise) and returned.
  int Modify(const char* dn, const LDAPMod* mods);
  int Add(const char* dn, const LDAPMod* mods);
  int Delete(const char* dn);
  int ModRDN(const char* dn, const char* newrdn);

  int deref;                // kept for callers; searches take it as an argument
  int timelimit;            // kept for callers; searches take it as an argument
  int sizelimit;            // kept for callers; searches take it as an argument
  char* error;              // kept for callers; always null
  unsigned long tx_msg_id;  // ID of the last request sent; 0 at first
  LDAPSearchRes_rx* result;  // the current search entry (owned), or null
  Socket socket;             // the TCP connection
  LDAPState state;           // protocol state

 private:
  // Starts the time of a new operation and its count of skipped answers.
  void BeginOperation();
  // One bind request of protocol `version`; sets `*protocol_error` when the
  // server answered it with protocolError.
  int BindAs(const char* dn, const char* passwd, int version,
             bool* protocol_error);
  // True when the socket is connected; otherwise prints
  // "LDAPClient::<op>: socket not connected".
  bool Connected(const char* op);
  // Reads entries until none is current.
  void DiscardSearch();
  // Sends `request` (which the envelope takes over) with message ID `id`;
  // false when the socket refused it.
  bool SendRequest(unsigned long id, ASN1Type* request);
  // The result code of a decoded LDAPResult, or kUnexpectedAnswer when the
  // code could not be decoded.
  static int ResultCode(LDAPMessage_rx* answer);
  // True when `id` belongs to one of the four requests before the last one
  // sent (message IDs wrap at 2^31).
  bool Stale(unsigned long id) const;
  // Reads the next message, skipping stale answers with tag `skipped_tag`,
  // or of any tag when it is 0: the first of a call is printed as
  // "LDAPClient: skipped answer 0x%02x of earlier request %lu", the others
  // counted in "LDAPClient: skipped %d more answers of earlier requests".
  // Null when no message could be read, or when the operation's skipped
  // answers would exceed kMaxStaleAnswers ("LDAPClient: more than %d answers
  // of earlier requests, connection closed"; the socket is closed). The
  // caller owns the result.
  LDAPMessage_rx* ReadAnswer(unsigned char skipped_tag);
  // Reads one answer that must have tag `answer_tag` and returns its result
  // code, kServerDown when none could be read, or kUnexpectedAnswer. Except
  // for a bind, stale answers are skipped first. A non-zero server code is
  // printed as "LDAP <op>: result=%d" when `op` is given. `*protocol_error`
  // (when given) tells whether the server's own code was protocolError.
  int ReadResult(unsigned char answer_tag, const char* op,
                 bool* protocol_error = nullptr);
  // Modify, Add, Delete, ModRDN once the socket is known to be connected:
  // discards a search in progress, sends `request` (printing
  // "LDAPClient::<op>: send failed" when refused) and reads its answer.
  int Update(const char* op, ASN1Type* request, unsigned char answer_tag);
  // Announces `hostname`:`portnum` to the proxy.
  void SendPreamble(const char* hostname, unsigned short portnum);

  int stale_skipped = 0;  // answers of earlier requests skipped in this
                          // operation
};

#endif  // LDAP_LDAPCLIENT_H_
