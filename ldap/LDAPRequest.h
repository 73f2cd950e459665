// Outgoing directory protocol (LDAP version 2) messages: the message envelope
// and its sending, one builder per request type, and the modification list
// handed to the Modify and Add requests.
//
// A builder's constructor builds its whole element tree (ASN1.h). The usual
// life of a request: the caller makes an envelope with the message ID, adds
// exactly one request element with Add2Seq (the envelope then owns it), calls
// Send, and destroys the envelope. Only filter values are escape-processed;
// every other string is taken as is. Not locked.
#ifndef LDAP_LDAPREQUEST_H_
#define LDAP_LDAPREQUEST_H_

#include <memory>

#include "kernel/OSCriticalSection.h"
#include "ldap/ASN1.h"
#include "ldap/LDAPFilter.h"
#include "ldap/LDAPOperation.h"

class Socket;

// The LDAPMessage envelope: the message ID followed by one request.
class LDAPMessage_tx : public ASN1Sequence {
 public:
  // Adds ASN1Integer(id) as the first child.
  explicit LDAPMessage_tx(int id);

  // Create and delete the class-wide lock `cs`.
  static void Init();
  static void Cleanup();

  // Encodes the message and hands it to `s`: queued (Socket::Queue) when
  // `delayed` is non-zero, else sent at once (Socket::DataIndication).
  // A message shorter than the largest pool buffer less 100 bytes goes in one
  // pool buffer; a longer one in consecutive pieces of that size, stopping at
  // the first piece the socket refuses (the rest is dropped). Returns the
  // socket's result: 0 on success. An encoder that overruns its buffer is an
  // internal error: Fatal("LDAPMessage_tx::Send() - Buffer overlow %d").
  int Send(Socket* s, int delayed);

  int msg_id;

  static CRITICAL_SECTION cs;    // reserved for message numbering
  static unsigned long next_id;  // reserved for message numbering
};

// A counted byte string.
struct berval {
  unsigned long bv_len;  // number of bytes
  char* bv_val;          // the bytes
};

// One attribute modification (Modify) or attribute (Add). Arrays of records,
// not of pointers, are passed; a record with a null `mod_type` ends them.
class LDAPMod {
 public:
  static const int kBinaryValues = 0x80;  // mod_op bit: values are bervals

  LDAPMod();
  // Frees what Set allocated; pointers the caller stored are left alone.
  ~LDAPMod();
  LDAPMod(const LDAPMod&) = delete;
  LDAPMod& operator=(const LDAPMod&) = delete;

  // Makes this record a replace of `Aattr_name` by the single value
  // `Aattr_val` (null reads as empty), both copied.
  void Set(const char* Aattr_name, const char* Aattr_val);

  char* vals[2];   // built-in single-value list: the value and null
  int mod_op;      // 0 add, 1 delete, 2 replace; | 0x80 for bervals
  char* mod_type;  // attribute name; null ends an array
  union {
    char** modv_strvals;  // null-terminated texts
    berval** modv_bvals;  // null-terminated counted values
  } mod_vals;

 private:
  std::unique_ptr<char[]> owned_type;   // the name copied by Set
  std::unique_ptr<char[]> owned_value;  // the value copied by Set
};

// BindRequest (0x60): the protocol `version` (2 unless told otherwise), the
// name and the credentials tagged by `Amethod` (0 simple 0x80, 1 -> 0x81,
// 2 -> 0x82, other values keep 0x04).
class LDAPBindReq_tx : public ASN1Sequence {
 public:
  LDAPBindReq_tx(const char* Adn, const char* Acred, int Amethod,
                 int version = 2);
};

// UnbindRequest: 42 00.
class LDAPUnbindReq_tx : public ASN1Null {
 public:
  LDAPUnbindReq_tx();
};

// SearchRequest (0x63). The filter text is parsed into `filter`; only a valid
// filter and the attribute list after it are added to the request, so a
// request whose `filter->valid` is 0 must not be sent. `Aattributes` is a
// null-terminated list of attribute names (null: none).
class LDAPSearchReq_tx : public ASN1Sequence {
 public:
  LDAPSearchReq_tx(const char* Abase, int Ascope, int AderefAliases,
                   int AsizeLimit, int AtimeLimit, int AattrsOnly,
                   const char* Afilter, const char* const* Aattributes);
  // Deletes a rejected filter (a valid one belongs to the tree).
  ~LDAPSearchReq_tx() override;

  LDAPFilter_tx* filter;  // the parsed filter, owned by this request
};

// ModifyRequest (0x66) from an LDAPMod array.
class LDAPModifyReq_tx : public ASN1Sequence {
 public:
  LDAPModifyReq_tx(const char* Adn, const LDAPMod* Amods);
};

// AddRequest (0x68) from an LDAPMod array; mod_op is ignored except for the
// berval bit.
class LDAPAddReq_tx : public ASN1Sequence {
 public:
  LDAPAddReq_tx(const char* Adn, const LDAPMod* Amods);
};

// DelRequest (0x4A): the name as primitive content.
class LDAPDelReq_tx : public ASN1String {
 public:
  explicit LDAPDelReq_tx(const char* Adn);
};

// ModifyRDNRequest (0x6C); the old relative name is never deleted.
class LDAPModRDNReq_tx : public ASN1Sequence {
 public:
  LDAPModRDNReq_tx(const char* Adn, const char* Anewrdn);
};

// An LDAPResult with tag `Atag` (server side).
class LDAPResult_tx : public ASN1Sequence {
 public:
  LDAPResult_tx(unsigned char Atag, int Aresult, const char* AmatchedDN,
                const char* Aerror);
};

// SearchResultEntry (0x64) (server side); takes over `Aattributes`.
class LDAPSearchResp_tx : public ASN1Sequence {
 public:
  LDAPSearchResp_tx(const char* AobjectName, ASN1Sequence* Aattributes);
};

#endif  // LDAP_LDAPREQUEST_H_
