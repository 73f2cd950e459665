#include "ldap/LDAPResponse.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "kernel/OSConsole.h"
#include "network/Socket.h"

namespace {

// The content of a message is received in pieces of at most this size.
const size_t kReceiveChunk = 64 * 1024;

// The identifier and length octets of one element, read to find where its
// content starts and ends.
class BerHeader : public ASN1Type {
 public:
  BerHeader() : ASN1Type(0) {}
  void BerEncode(unsigned char*& /*dp*/) override {}

  // Steps `dp` over the header of the element at `dp` (bounded by `end`) and
  // returns the end of its content; on a bad header returns null and leaves
  // `dp` alone.
  unsigned char* Enter(unsigned char*& dp, const unsigned char* end) {
    if (!GetHdr(dp, end)) return nullptr;
    return dp + length;
  }
};

// Decodes the values of a SET that ends at `set_end` into `values`.
void DecodeValues(unsigned char*& dp, unsigned char* set_end,
                  OSTypedList<ASN1String>& values) {
  while (dp < set_end) {
    ASN1String* value = new ASN1String(dp, set_end);
    values.Append(value);
    if (value->malformed) break;
  }
}

// Steps over the header of the element `element` that starts at `dp` and
// returns the end of its content. On a bad header marks the element
// malformed, gives it an empty `attr_name`, moves `dp` to `end` and returns
// null.
unsigned char* EnterElement(ASN1Type& element, ASN1String*& attr_name,
                            unsigned char*& dp, const unsigned char* end) {
  BerHeader header;
  unsigned char* element_end = header.Enter(dp, end);
  if (element_end != nullptr) return element_end;
  element.malformed = true;
  attr_name = new ASN1String(static_cast<const char*>(nullptr));
  dp = const_cast<unsigned char*>(end);
  return nullptr;
}

// Decodes an attribute type (ending by `fields_end`) followed by its SET of
// values, which must end at `element_end`, the end of the enclosing
// element. Warns `set_error` when the SET does not end there and
// `values_error` when its values do not; leaves `dp` at `element_end`.
void DecodeTypeAndValues(unsigned char*& dp, unsigned char* fields_end,
                         unsigned char* element_end, ASN1String*& attr_name,
                         OSTypedList<ASN1String>& values, const char* set_error,
                         const char* values_error) {
  attr_name = new ASN1String(dp, fields_end);
  BerHeader set;
  unsigned char* set_end = set.Enter(dp, fields_end);
  if (set_end != element_end) Console->Warning("%s", set_error);
  if (set_end != nullptr) DecodeValues(dp, set_end, values);
  if (dp != element_end) Console->Warning("%s", values_error);
  dp = element_end;
}

// Decodes the SEQUENCE OF `Element` at `dp` into `list`. Warns `not_found`
// when there is no SEQUENCE and `format_error` when it does not end with the
// operation at `op_end`.
template <typename Element>
void DecodeList(unsigned char*& dp, unsigned char* op_end,
                OSTypedList<Element>& list, const char* not_found,
                const char* format_error) {
  BerHeader header;
  unsigned char* list_end =
      dp < op_end && *dp == 0x30 ? header.Enter(dp, op_end) : nullptr;
  if (list_end == nullptr) {
    Console->Warning("%s", not_found);
    return;
  }
  while (dp < list_end) list.Append(new Element(dp, list_end));
  if (list_end != op_end) Console->Warning("%s", format_error);
}

// Reads exactly `n` octets (at most kMaxMessageSize) into `p`. On failure
// closes the socket, since part of a message may have been consumed and the
// rest, arriving late, must never be taken for a new message.
bool Receive(Socket* s, unsigned char* p, size_t n) {
  if (n == 0) return true;
  if (s->RecWait(p, static_cast<int>(n)) == 0) return true;
  s->Close();
  return false;
}

// The peer's address as dotted text.
std::string PeerText(Socket* s) {
  char text[INET_ADDRSTRLEN] = "";
  inet_ntop(AF_INET, &s->remote_sin.sin_addr, text, sizeof(text));
  return text;
}

// Reads the identifier and length octets of one message into `frame` and
// returns the content length, or -1 (warned) when the stream cannot be
// framed; `*socket_failed` tells a socket failure apart.
long ReadFrameHeader(Socket* s, std::vector<unsigned char>& frame,
                     bool* socket_failed) {
  *socket_failed = false;
  frame.resize(2);
  if (!Receive(s, frame.data(), 2)) {
    *socket_failed = true;
    return -1;
  }
  if (frame[0] != 0x30) {
    Console->Warning("LDAPMessage::GetMsg: unexpected tag 0x%02x from %s",
                     frame[0], PeerText(s).c_str());
    return -1;
  }
  if ((frame[1] & 0x80) == 0) return frame[1];
  const int n = frame[1] & 0x7F;
  if (n == 0 || n > 4) {
    Console->Warning(
        "LDAPMessage::GetMsg: unsupported length octet 0x%02x from %s",
        frame[1], PeerText(s).c_str());
    return -1;
  }
  frame.resize(2 + n);
  if (!Receive(s, frame.data() + 2, n)) {
    *socket_failed = true;
    return -1;
  }
  unsigned long length = 0;
  for (int i = 0; i < n; ++i) length = (length << 8) | frame[2 + i];
  if (length > LDAPMessage_rx::kMaxMessageSize - frame.size()) {
    Console->Warning(
        "LDAPMessage::GetMsg: message of %lu octets from %s too large", length,
        PeerText(s).c_str());
    return -1;
  }
  return static_cast<long>(length);
}

// Builds the decoder for the operation `op_tag` on the message in `frame`;
// null for operations without one (warned).
LDAPMessage_rx* Decode(unsigned char op_tag, std::vector<unsigned char>& frame,
                       int* err) {
  unsigned char* dp = frame.data();
  const unsigned char* end = frame.data() + frame.size();
  switch (op_tag) {
    case kOpBindResponse:
    case kOpSearchDone:
    case kOpModifyResponse:
    case kOpAddResponse:
    case kOpDelResponse:
    case kOpModRDNResponse:
    case kOpCompareResponse:
      return new LDAPResult_rx(dp, end);
    case kOpSearchEntry:
      return new LDAPSearchRes_rx(dp, end);
    case kOpUnbindRequest:
      return new LDAPUnbindReq_rx(dp, end);
    case kOpDelRequest:
      return new LDAPDelReq_rx(dp, end);
    case kOpModifyRequest:
      return new LDAPModifyReq_rx(dp, end);
    case kOpAddRequest:
      return new LDAPAddReq_rx(dp, end);
    case kOpModRDNRequest:
      return new LDAPModRDNReq_rx(dp, end);
    case kOpBindRequest: {
      LDAPBindReq_rx* bind = new LDAPBindReq_rx(dp, end);
      if (bind->valid) return bind;
      Console->Warning("LDAPBindReq_rx: bad packet format");
      delete bind;
      *err = LDAPMessage_rx::kMalformed;
      return nullptr;
    }
    case kOpAbandonRequest:
    case kOpCompareRequest:
      Console->Warning("LDAPMessage_rx::GetMsg: add support for 0x%02x !",
                       op_tag);
      return nullptr;
    default:
      Console->Warning("LDAPMessage_rx::GetMsg: unexpected op tag 0x%02x\r\n",
                       op_tag);
      return nullptr;
  }
}

}  // namespace

// ------------------------------------------------------------ LDAPMessage_rx

LDAPMessage_rx* LDAPMessage_rx::GetMsg(Socket* s, int* err) {
  int status = 0;
  if (err == nullptr) err = &status;
  *err = 0;

  std::vector<unsigned char> frame;
  bool socket_failed = false;
  const long length = ReadFrameHeader(s, frame, &socket_failed);
  if (length < 0) {
    if (socket_failed) {
      *err = kSocketError;
    } else {
      // The rest of the stream cannot be framed any more.
      s->Close();
      *err = kMalformed;
    }
    return nullptr;
  }
  const size_t header = frame.size();
  // The buffer grows with what arrives, so that a length the peer claims
  // costs memory only once its octets are there.
  for (size_t got = 0; got < static_cast<size_t>(length);) {
    const size_t chunk =
        std::min(static_cast<size_t>(length) - got, kReceiveChunk);
    frame.resize(header + got + chunk);
    if (!Receive(s, frame.data() + header + got, chunk)) {
      *err = kSocketError;
      return nullptr;
    }
    got += chunk;
  }

  unsigned char* dp = frame.data();
  LDAPMessage_rx envelope(dp, frame.data() + frame.size());
  if (envelope.malformed) {
    Console->Warning("LDAPMessage_rx::GetMsg: malformed message from %s",
                     PeerText(s).c_str());
    *err = kMalformed;
    return nullptr;
  }
  return Decode(envelope.op_tag, frame, err);
}

LDAPMessage_rx::LDAPMessage_rx(unsigned char*& dp, const unsigned char* end)
    : ASN1Type(0x30),
      msg_id(0),
      op_tag(0),
      op_ptr(nullptr),
      valid(0),
      msg_end(end) {
  if (!GetHdr(dp, end)) return;
  msg_end = dp + length;
  ASN1Integer id(dp, msg_end);
  if (id.malformed) {
    malformed = true;
    return;
  }
  msg_id = static_cast<unsigned long>(id.val);
  if (dp >= msg_end) {
    Console->Print("LDAPMessage_rx: no operation in message %lu\r\n", msg_id);
    malformed = true;
    return;
  }
  op_tag = *dp;
  op_ptr = dp;
}

LDAPMessage_rx::~LDAPMessage_rx() = default;

void LDAPMessage_rx::BerEncode(unsigned char*& /*dp*/) {}

unsigned char* LDAPMessage_rx::EnterOperation(unsigned char*& dp,
                                              const unsigned char* end) {
  if (malformed) return dp;
  BerHeader op;
  unsigned char* op_end = op.Enter(dp, end);
  if (op_end == nullptr) {
    malformed = true;
    return dp;
  }
  return op_end;
}

// ------------------------------------------------------------- LDAPResult_rx

LDAPResult_rx::LDAPResult_rx(unsigned char*& dp, const unsigned char* end)
    : LDAPMessage_rx(dp, end),
      resultCode(0),
      matchedDN(nullptr),
      errorMessage(nullptr) {
  unsigned char* op_end = EnterOperation(dp, msg_end);
  ASN1Integer code(dp, op_end);
  if (code.malformed) {
    malformed = true;
  } else {
    resultCode = code.val;
  }
  matchedDN = new ASN1String(dp, op_end);
  errorMessage = new ASN1String(dp, op_end);
  if (matchedDN->malformed || errorMessage->malformed) malformed = true;
}

LDAPResult_rx::~LDAPResult_rx() {
  delete matchedDN;
  delete errorMessage;
}

// ---------------------------------------------------------- LDAPSearchRes_rx

LDAPSearchRes_rx::LDAPSearchRes_rx(unsigned char*& dp, const unsigned char* end)
    : LDAPMessage_rx(dp, end),
      attributes(1),
      attr_itr(attributes.begin()),
      objectName(nullptr),
      more_values(1) {
  unsigned char* op_end = EnterOperation(dp, msg_end);
  if (dp >= op_end) {
    Console->Warning("LDAPSearchRes_rx: msg format error (no objectName)");
    return;
  }
  objectName = new ASN1String(dp, op_end);

  BerHeader list;
  unsigned char* list_end = list.Enter(dp, op_end);
  if (list_end != op_end) {
    Console->Warning("LDAPSearchRes_rx: msg format error 1");
  }
  if (list_end == nullptr) list_end = dp;

  int kept = 0;
  while (dp < list_end) {
    if (kept == kMaxAttributes) {
      Console->Warning(
          "LDAPSearchRes_rx: more than %d attributes, the rest ignored",
          kMaxAttributes);
      dp = list_end;
      break;
    }
    ++kept;
    BerHeader attribute;
    unsigned char* attr_end = attribute.Enter(dp, list_end);
    if (attr_end == nullptr) break;
    ASN1String* name = new ASN1String(dp, attr_end);
    BerHeader set;
    unsigned char* set_end = set.Enter(dp, attr_end);
    ASN1String* value = nullptr;
    if (set_end == nullptr || dp == set_end) {
      // No value set, or an empty one: the attribute reads as empty.
      value = new ASN1String(static_cast<const char*>(nullptr));
    } else {
      value = new ASN1String(dp, set_end);
    }
    attributes.Append(name);
    attributes.Append(value);
    if (dp != attr_end) {
      Console->Warning("LDAPSearchRes_rx: msg format error 2");
      if (set_end != nullptr && dp < set_end) {
        more_values.Append(new ASN1String(name->str));
      }
      dp = attr_end;
    }
  }
  if (dp != op_end) {
    Console->Warning("LDAPSearchRes_rx: msg format error 3");
  }
}

LDAPSearchRes_rx::~LDAPSearchRes_rx() { delete objectName; }

int LDAPSearchRes_rx::FirstAttribute(char*& a, char*& v) {
  attr_itr = attributes.begin();
  return NextAttribute(a, v);
}

int LDAPSearchRes_rx::NextAttribute(char*& a, char*& v) {
  if (attr_itr == attributes.end()) return 0;
  ASN1String* name = *attr_itr;
  if (++attr_itr == attributes.end()) return 0;
  ASN1String* value = *attr_itr;
  ++attr_itr;
  a = name->str;
  v = value->str;
  return 1;
}

bool LDAPSearchRes_rx::HasMoreValues(const char* name) {
  for (ASN1String* s : more_values) {
    if (std::strcmp(s->str, name) == 0) return true;
  }
  return false;
}

// ------------------------------------------------------------ LDAPBindReq_rx

LDAPBindReq_rx::LDAPBindReq_rx(unsigned char*& dp, const unsigned char* end)
    : LDAPMessage_rx(dp, end),
      version(0),
      name(nullptr),
      cred(nullptr),
      method(-1) {
  unsigned char* op_end = EnterOperation(dp, msg_end);
  if (op_end - dp >= 3) {
    ASN1Integer v(dp, op_end);
    if (v.malformed) return;
    version = v.val;
  }
  if (op_end - dp >= 2) name = new ASN1String(dp, op_end);
  if (op_end - dp >= 2) cred = new ASN1String(dp, op_end);
  if (cred == nullptr || name->malformed || cred->malformed) return;
  if (cred->tag >= 0x80 && cred->tag <= 0x82) {
    method = cred->tag - 0x80;
    valid = 1;
  }
}

LDAPBindReq_rx::~LDAPBindReq_rx() {
  delete name;
  delete cred;
}

// ---------------------------------------------------------- LDAPUnbindReq_rx

LDAPUnbindReq_rx::LDAPUnbindReq_rx(unsigned char*& dp, const unsigned char* end)
    : LDAPMessage_rx(dp, end) {}

// ------------------------------------------------------- LDAPModification_rx

LDAPModification_rx::LDAPModification_rx(unsigned char*& dp,
                                         const unsigned char* end)
    : ASN1Type(0x30), op(0), attr_name(nullptr), values(1) {
  unsigned char* mod_end = EnterElement(*this, attr_name, dp, end);
  if (mod_end == nullptr) return;
  ASN1Integer operation(dp, mod_end);
  op = operation.val;
  BerHeader type_and_values;
  unsigned char* tv_end = type_and_values.Enter(dp, mod_end);
  if (tv_end != mod_end) {
    Console->Warning("LDAPModification_rx: format error 1");
  }
  if (tv_end == nullptr) tv_end = mod_end;
  DecodeTypeAndValues(dp, tv_end, mod_end, attr_name, values,
                      "LDAPModification_rx: format error 2",
                      "LDAPModification_rx: format error 3");
}

LDAPModification_rx::~LDAPModification_rx() { delete attr_name; }

void LDAPModification_rx::BerEncode(unsigned char*& /*dp*/) {}

// ---------------------------------------------------------- LDAPModifyReq_rx

LDAPModifyReq_rx::LDAPModifyReq_rx(unsigned char*& dp, const unsigned char* end)
    : LDAPMessage_rx(dp, end), object(nullptr), modifications(1) {
  unsigned char* op_end = EnterOperation(dp, msg_end);
  object = new ASN1String(dp, op_end);
  DecodeList<LDAPModification_rx>(
      dp, op_end, modifications, "LDAPModifyReq_rx: modification SEQ not found",
      "LDAPModifyReq_rx: msg format error");
}

LDAPModifyReq_rx::~LDAPModifyReq_rx() { delete object; }

// ------------------------------------------------------------ LDAPAddAttr_rx

LDAPAddAttr_rx::LDAPAddAttr_rx(unsigned char*& dp, const unsigned char* end)
    : ASN1Type(0x30), attr_name(nullptr), values(1) {
  unsigned char* attr_end = EnterElement(*this, attr_name, dp, end);
  if (attr_end == nullptr) return;
  DecodeTypeAndValues(dp, attr_end, attr_end, attr_name, values,
                      "LDAPAddAttr_rx: format error 1",
                      "LDAPAddAttr_rx: format error 2");
}

LDAPAddAttr_rx::~LDAPAddAttr_rx() { delete attr_name; }

void LDAPAddAttr_rx::BerEncode(unsigned char*& /*dp*/) {}

// ------------------------------------------------------------- LDAPAddReq_rx

LDAPAddReq_rx::LDAPAddReq_rx(unsigned char*& dp, const unsigned char* end)
    : LDAPMessage_rx(dp, end), entry(nullptr), attrs(1) {
  unsigned char* op_end = EnterOperation(dp, msg_end);
  entry = new ASN1String(dp, op_end);
  DecodeList<LDAPAddAttr_rx>(dp, op_end, attrs,
                             "LDAPAddReq_rx: attribute SEQ not found\r\n",
                             "LDAPAddReq_rx: msg format error");
}

LDAPAddReq_rx::~LDAPAddReq_rx() { delete entry; }

// ------------------------------------------------------------- LDAPDelReq_rx

LDAPDelReq_rx::LDAPDelReq_rx(unsigned char*& dp, const unsigned char* end)
    : LDAPMessage_rx(dp, end), dn(nullptr) {
  dn = new ASN1String(dp, msg_end);
}

LDAPDelReq_rx::~LDAPDelReq_rx() { delete dn; }

// ---------------------------------------------------------- LDAPModRDNReq_rx

LDAPModRDNReq_rx::LDAPModRDNReq_rx(unsigned char*& dp, const unsigned char* end)
    : LDAPMessage_rx(dp, end),
      dn(nullptr),
      newrdn(nullptr),
      deleteoldrdn(nullptr) {
  unsigned char* op_end = EnterOperation(dp, msg_end);
  dn = new ASN1String(dp, op_end);
  newrdn = new ASN1String(dp, op_end);
  deleteoldrdn = new ASN1Integer(dp, op_end);
}

LDAPModRDNReq_rx::~LDAPModRDNReq_rx() {
  delete dn;
  delete newrdn;
  delete deleteoldrdn;
}
