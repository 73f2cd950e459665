// Synchronous directory (LDAP version 2) client over one TCP connection: each
// call sends one request, waits for its answer and returns a status. A search
// keeps its current entry inside the client and is walked entry by entry.
//
// Status values: 0 success (also a search that produced its first entry or
// ended without entries); the server's non-zero result code, passed through;
// kUnexpectedAnswer (2) an answer of another type than expected;
// kNotBound (50) a search before a successful bind; kUnmatched (80) a
// search answer that belongs to no recent request; kServerDown (81)
// socket not connected, send failed, or no message could be read;
// kFilterError (87) the search filter is invalid and nothing was sent.
// Nothing is thrown and nothing is retried; the client has no time-out of its
// own (each wait of the socket allows 10 seconds).
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

  static constexpr int kUnexpectedAnswer = 2;
  static constexpr int kNotBound = 50;
  static constexpr int kUnmatched = 80;
  static constexpr int kServerDown = 81;
  static constexpr int kFilterError = 87;

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
  int SimpleBind(const char* dn, const char* passwd);
  // When BOUND, sends an unbind request and closes the socket. The state
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
  // Reads and discards what remains of the current search.
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
  // Reads the next message, skipping (printed as "LDAPClient: skipped answer
  // 0x%02x of earlier request %lu") stale answers with tag `skipped_tag`, or
  // of any tag when it is 0. Null when no message could be read; the caller
  // owns the result.
  LDAPMessage_rx* ReadAnswer(unsigned char skipped_tag);
  // Reads one answer that must have tag `answer_tag` and returns its result
  // code, kServerDown when none could be read, or kUnexpectedAnswer. Except
  // for a bind, stale answers are skipped first. A non-zero server code is
  // printed as "LDAP <op>: result=%d" when `op` is given.
  int ReadResult(unsigned char answer_tag, const char* op);
  // Modify, Add, Delete, ModRDN once the socket is known to be connected:
  // discards a search in progress, sends `request` (printing
  // "LDAPClient::<op>: send failed" when refused) and reads its answer.
  int Update(const char* op, ASN1Type* request, unsigned char answer_tag);
  // Announces `hostname`:`portnum` to the proxy.
  void SendPreamble(const char* hostname, unsigned short portnum);
};

#endif  // LDAP_LDAPCLIENT_H_
