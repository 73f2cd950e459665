// Incoming directory protocol (LDAP) messages: reading one message whole from
// a socket, and one decoder class per message type.
//
// LDAPMessage_rx::GetMsg is the single entry point: it frames one message by
// its outer BER length, picks the decoder by the protocol-operation tag and
// returns the decoded object. The client uses the result and search-entry
// decoders; the request decoders let the same reader serve as a directory
// server.
//
// Every decoder reads only inside the received message: a field that is
// missing, truncated or longer than its enclosing element is reported through
// the console and decoding goes on at the next known boundary (the end of the
// attribute, modification or message). Decoded strings are copies owned by
// the decoded object, never null once the constructor has run (an undecodable
// string reads as empty), unless a member says otherwise. Not locked.
#ifndef LDAP_LDAPRESPONSE_H_
#define LDAP_LDAPRESPONSE_H_

#include <cstddef>

#include "kernel/OSList.h"
#include "kernel/OSTypedList.h"
#include "ldap/ASN1.h"
#include "ldap/LDAPOperation.h"

class Socket;

// The LDAPMessage envelope: the message ID and where the operation starts.
class LDAPMessage_rx : public ASN1Type {
 public:
  // Error codes of GetMsg.
  static constexpr int kSocketError = -110;  // failed, closed or timed out
  static constexpr int kMalformed = -5;      // not an LDAP message
  // Largest message GetMsg accepts, envelope included (16 MiB).
  static constexpr unsigned long kMaxMessageSize = 16UL * 1024 * 1024;

  // Reads and decodes one message from `s`. Returns the decoded object,
  // which the caller owns and deletes, or null. `err` may be null; when given
  // it receives 0, kSocketError, or kMalformed.
  //
  // The message is framed by its own identifier and length octets, read
  // before the content, so messages of any size from 2 octets up to
  // kMaxMessageSize are framed exactly and a following message is never
  // touched. Whenever the stream can no longer be framed, the socket is
  // closed, so that later bytes are never taken for a message:
  //  - kSocketError: the socket failed, the peer closed, or no data came
  //    within a wait (Socket::RecWait allows 10 seconds per wait);
  //  - kMalformed: the outer tag is not 0x30 (warned as "LDAPMessage::GetMsg:
  //    unexpected tag 0x%02x from %s" with the peer's address), or the
  //    length is indefinite, longer than four octets or too large.
  // A framed message whose envelope or bind request cannot be decoded also
  // gives kMalformed, the connection staying usable. Abandon and compare
  // requests ("LDAPMessage_rx::GetMsg: add support for 0x%02x !") and
  // unknown operations ("LDAPMessage_rx::GetMsg: unexpected op tag
  // 0x%02x\r\n") give null with `err` 0.
  static LDAPMessage_rx* GetMsg(Socket* s, int* err);

  // Decodes the envelope of the message that starts at `dp` and ends at
  // `end`: identifier, length, message ID; leaves `dp` on the operation's
  // identifier octet, which is recorded in `op_tag` and `op_ptr`. A
  // malformed envelope sets `malformed` (`op_tag` 0 when no operation).
  LDAPMessage_rx(unsigned char*& dp, const unsigned char* end);
  ~LDAPMessage_rx() override;

  // Decoded messages are never re-encoded: writes nothing.
  void BerEncode(unsigned char*& dp) override;

  unsigned long msg_id;   // the message ID
  unsigned char op_tag;   // identifier octet of the protocol operation
  unsigned char* op_ptr;  // the operation in the receive buffer; valid only
                          // while the constructors decode
  int valid;              // 1 once a bind request decoded soundly

 protected:
  // Steps over the operation's identifier and length octets at `dp`
  // (bounded by `msg_end`) and returns the end of the operation's content;
  // on a bad header reports it, sets `malformed` and returns `dp`
  // unchanged (so nothing more is decoded).
  unsigned char* EnterOperation(unsigned char*& dp,
                                const unsigned char* msg_end);
  const unsigned char* msg_end;  // end of the message; valid while decoding
};

// Any LDAPResult: bind (0x61), search done (0x65), modify (0x67), add (0x69),
// delete (0x6B), modify-RDN (0x6D) and compare (0x6F) responses. A referral
// after the error message is ignored.
class LDAPResult_rx : public LDAPMessage_rx {
 public:
  LDAPResult_rx(unsigned char*& dp, const unsigned char* end);
  ~LDAPResult_rx() override;

  int resultCode;            // 0 also when it could not be decoded (then
                             // `malformed` is set)
  ASN1String* matchedDN;     // owned
  ASN1String* errorMessage;  // owned
};

// A search result entry (0x64): the entry's name and its attributes as
// name/value pairs, keeping the first value of each attribute. An attribute
// sent without values (attributes-only searches) reads as an empty value.
// Format warnings: "LDAPSearchRes_rx: msg format error (no objectName)",
// "... msg format error 1" (the attribute list does not end with the
// operation), "... msg format error 2" (an attribute holds more than one
// value, or more than its values; decoding resumes at the attribute's end),
// "... msg format error 3" (the attributes do not end with the operation).
// At most kMaxAttributes attributes are kept: the rest of the list is skipped
// with "LDAPSearchRes_rx: more than %d attributes, the rest ignored", so that
// a message cannot make the entry hundreds of times its own size.
class LDAPSearchRes_rx : public LDAPMessage_rx {
 public:
  static constexpr int kMaxAttributes = 4096;

  LDAPSearchRes_rx(unsigned char*& dp, const unsigned char* end);
  ~LDAPSearchRes_rx() override;

  // Restarts the walk and returns the first pair as NextAttribute does.
  int FirstAttribute(char*& a, char*& v);
  // Sets `a` to the next attribute name and `v` to its value and returns 1;
  // returns 0 (a and v untouched) when the pairs are exhausted. The pointers
  // stay valid until the entry is deleted.
  int NextAttribute(char*& a, char*& v);
  // True when the attribute `name` (exactly as received) carried further
  // values beyond the one kept.
  bool HasMoreValues(const char* name);

  OSTypedList<ASN1String> attributes;  // alternating name and value; owned
  OSTypedList<ASN1String>::iterator attr_itr;  // walk over `attributes`
  ASN1String* objectName;  // the entry's name; null when missing; owned
  OSTypedList<ASN1String> more_values;  // names of the attributes that had
                                        // further values; owned
};

// BindRequest (0x60). `valid` is 1 when version, name and simple (0x80) or
// other-method (0x81, 0x82) credentials were all decoded.
class LDAPBindReq_rx : public LDAPMessage_rx {
 public:
  LDAPBindReq_rx(unsigned char*& dp, const unsigned char* end);
  ~LDAPBindReq_rx() override;

  int version;       // protocol version; 0 when missing
  ASN1String* name;  // bind name; null when missing; owned
  ASN1String* cred;  // credentials; null when missing; owned
  int method;        // 0, 1 or 2 for credential tags 0x80, 0x81, 0x82;
                     // -1 otherwise
};

// UnbindRequest (0x42).
class LDAPUnbindReq_rx : public LDAPMessage_rx {
 public:
  LDAPUnbindReq_rx(unsigned char*& dp, const unsigned char* end);
};

// One modification of a ModifyRequest: SEQUENCE { operation, SEQUENCE {
// type, SET OF value } }. Warns "LDAPModification_rx: format error 1" when
// the type-and-values SEQUENCE, "... format error 2" when the SET, and
// "... format error 3" when the values do not end where the modification
// ends. Decoding leaves the read position at the modification's end.
class LDAPModification_rx : public ASN1Type {
 public:
  LDAPModification_rx(unsigned char*& dp, const unsigned char* end);
  ~LDAPModification_rx() override;
  void BerEncode(unsigned char*& dp) override;

  int op;                          // 0 add, 1 delete, 2 replace
  ASN1String* attr_name;           // owned
  OSTypedList<ASN1String> values;  // owned
};

// ModifyRequest (0x66). Warns "LDAPModifyReq_rx: modification SEQ not found"
// and "LDAPModifyReq_rx: msg format error" (the list does not end with the
// operation).
class LDAPModifyReq_rx : public LDAPMessage_rx {
 public:
  LDAPModifyReq_rx(unsigned char*& dp, const unsigned char* end);
  ~LDAPModifyReq_rx() override;

  ASN1String* object;                              // the entry's name; owned
  OSTypedList<LDAPModification_rx> modifications;  // owned
};

// One attribute of an AddRequest: SEQUENCE { type, SET OF value }. Warns
// "LDAPAddAttr_rx: format error 1" when the SET does not end with the
// attribute and "LDAPAddAttr_rx: format error 2" when the values do not.
// Decoding leaves the read position at the attribute's end.
class LDAPAddAttr_rx : public ASN1Type {
 public:
  LDAPAddAttr_rx(unsigned char*& dp, const unsigned char* end);
  ~LDAPAddAttr_rx() override;
  void BerEncode(unsigned char*& dp) override;

  ASN1String* attr_name;           // owned
  OSTypedList<ASN1String> values;  // owned
};

// AddRequest (0x68). Warns "LDAPAddReq_rx: attribute SEQ not found\r\n" and
// "LDAPAddReq_rx: msg format error".
class LDAPAddReq_rx : public LDAPMessage_rx {
 public:
  LDAPAddReq_rx(unsigned char*& dp, const unsigned char* end);
  ~LDAPAddReq_rx() override;

  ASN1String* entry;                  // the new entry's name; owned
  OSTypedList<LDAPAddAttr_rx> attrs;  // owned
};

// DelRequest (0x4A): the name is the operation's primitive content.
class LDAPDelReq_rx : public LDAPMessage_rx {
 public:
  LDAPDelReq_rx(unsigned char*& dp, const unsigned char* end);
  ~LDAPDelReq_rx() override;

  ASN1String* dn;  // owned
};

// ModifyRDNRequest (0x6C).
class LDAPModRDNReq_rx : public LDAPMessage_rx {
 public:
  LDAPModRDNReq_rx(unsigned char*& dp, const unsigned char* end);
  ~LDAPModRDNReq_rx() override;

  ASN1String* dn;             // owned
  ASN1String* newrdn;         // owned
  ASN1Integer* deleteoldrdn;  // owned
};

#endif  // LDAP_LDAPRESPONSE_H_
