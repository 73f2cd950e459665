#include "ldap/LDAPClient.h"

#include <cstdio>
#include <memory>

#include "kernel/OSBuf.h"
#include "kernel/OSConsole.h"

namespace {

// Set once LDAPMessage_tx::Init has run for the first client.
bool txmsg_init_done = false;

// The attribute list that stands for "all attributes".
const char* const kAllAttributes[] = {"*", nullptr};

// The server's result code for a request it cannot handle, which is how a
// server that no longer speaks version 2 answers a version-2 bind.
const int kProtocolErrorCode = 2;

// ReadAnswer: skip stale answers of every type.
const unsigned char kAnyAnswer = 0;

// Stale search-done answers skipped in a row, and how far behind they may be.
const int kMaxRecoveryLevel = 5;
const unsigned long kMaxStaleDistance = 4;

}  // namespace

int LDAPClient::operation_timeout_ms = 10000;

void LDAPClient::SetOperationTimeout(int ms) { operation_timeout_ms = ms; }

LDAPClient::LDAPClient(const char* hostname, unsigned short portnum,
                       const char* proxyAddr, unsigned short proxyPort)
    : deref(0),
      timelimit(0),
      sizelimit(0),
      error(nullptr),
      tx_msg_id(0),
      result(nullptr),
      socket(Socket::TCP_CLIENT,
             proxyAddr != nullptr ? proxyAddr
                                  : (hostname != nullptr ? hostname : ""),
             proxyAddr != nullptr ? proxyPort : portnum),
      state(FAILED) {
  if (!txmsg_init_done) {
    txmsg_init_done = true;
    LDAPMessage_tx::Init();
  }
  if (socket.state != Socket::CONNECTED) return;
  state = CONNECTED;
  if (proxyAddr != nullptr) SendPreamble(hostname, portnum);
}

LDAPClient::~LDAPClient() {
  delete result;
  result = nullptr;
  Unbind();
}

void LDAPClient::Cleanup() {
  if (!txmsg_init_done) return;
  LDAPMessage_tx::Cleanup();
  txmsg_init_done = false;
}

const char* LDAPClient::GetMacStr() { return "740381926453"; }

unsigned long LDAPClient::NextTxId() {
  unsigned long next = (tx_msg_id + 1) & 0xFFFFFFFFUL;
  if (next & 0x80000000UL) next = 0;
  tx_msg_id = next;
  return next;
}

// ------------------------------------------------------------------ binding

int LDAPClient::SimpleBind(const char* dn, const char* passwd, int version) {
  if (socket.state != Socket::CONNECTED) {
    Console->Print("LDAPClient::SimpleBind: socket not connected");
    return kServerDown;
  }
  if (passwd == nullptr) passwd = GetMacStr();
  BeginOperation();
  const bool fixed = version == 2 || version == 3;
  bool protocol_error = false;
  int code = BindAs(dn, passwd, fixed ? version : 2, &protocol_error);
  if (!fixed && protocol_error) {
    Console->Print(
        "LDAPClient::SimpleBind: version 2 refused, binding as version 3");
    code = BindAs(dn, passwd, 3, &protocol_error);
  }
  if (code == 0) state = BOUND;
  return code;
}

int LDAPClient::BindAs(const char* dn, const char* passwd, int version,
                       bool* protocol_error) {
  if (!SendRequest(NextTxId(), new LDAPBindReq_tx(dn, passwd, 0, version))) {
    Console->Print("LDAPClient::SimpleBind: failed to send bind request");
    return kServerDown;
  }
  return ReadResult(kOpBindResponse, nullptr, protocol_error);
}

int LDAPClient::Unbind() {
  if ((state == BOUND || state == CONNECTED) &&
      socket.state == Socket::CONNECTED) {
    BeginOperation();
    SendRequest(NextTxId(), new LDAPUnbindReq_tx);
  }
  socket.Close();
  state = FINISHED;
  return 0;
}

// ---------------------------------------------------------------- searching

int LDAPClient::Search(const char* base, int scope, const char* filter,
                       const char* const* attrs, int attrsonly, int Asizelimit,
                       int timeout, int Aderef) {
  if (socket.state != Socket::CONNECTED) {
    Console->Print("LDAPClient::Search: socket not connected");
    state = FAILED;
    return kServerDown;
  }
  if (state != BOUND) return kNotBound;
  BeginOperation();
  DiscardSearch();

  const unsigned long id = NextTxId();
  auto* request =
      new LDAPSearchReq_tx(base, scope, Aderef, Asizelimit, timeout, attrsonly,
                           filter, attrs != nullptr ? attrs : kAllAttributes);
  if (!request->filter->valid) {
    delete request;
    return kFilterError;
  }
  if (!SendRequest(id, request)) {
    Console->Print("LDAPClient::Search: send failed");
    return kServerDown;
  }
  int error_code = 0;
  return GetNextEntry(error_code, 0) == 1 ? 0 : error_code;
}

int LDAPClient::GetNextEntry(int& error_code, int level) {
  delete result;
  result = nullptr;

  LDAPMessage_rx* answer = ReadAnswer(kOpSearchEntry);
  if (answer == nullptr) {
    error_code = kServerDown;
    return 0;
  }
  if (answer->op_tag == kOpSearchEntry) {
    if (answer->msg_id == tx_msg_id) {
      result = static_cast<LDAPSearchRes_rx*>(answer);
      return 1;
    }
    Console->Print(
        "LDAPClient::GetNextEntry SEARCH_ENTRY expected id %lu got %lu",
        tx_msg_id, answer->msg_id);
    delete answer;
    error_code = kUnmatched;
    return 0;
  }
  if (answer->op_tag != kOpSearchDone) {
    delete answer;
    error_code = kUnexpectedAnswer;
    return 0;
  }
  const unsigned long received = answer->msg_id;
  error_code = ResultCode(answer);
  delete answer;
  if (received == tx_msg_id) return 0;

  Console->Print(
      "LDAPClient::GetNextEntry SEARCH_RESULT expected id %lu got %lu",
      tx_msg_id, received);
  if (!Stale(received) || level > kMaxRecoveryLevel) {
    error_code = kUnmatched;
    return 0;
  }
  Console->Print(
      "LDAPClient::GetNextEntry attempting synchronisation recovery");
  return GetNextEntry(error_code, level + 1);
}

char* LDAPClient::CurrentObject() {
  if (result == nullptr || result->objectName == nullptr) return nullptr;
  return result->objectName->str;
}

int LDAPClient::FirstAttribute(char*& a, char*& v) {
  return result != nullptr ? result->FirstAttribute(a, v) : 0;
}

int LDAPClient::NextAttribute(char*& a, char*& v) {
  return result != nullptr ? result->NextAttribute(a, v) : 0;
}

void LDAPClient::Flush() { DiscardSearch(); }

// ------------------------------------------------------------------ updates

int LDAPClient::Modify(const char* dn, const LDAPMod* mods) {
  if (!Connected("Modify")) return kServerDown;
  return Update("Modify", new LDAPModifyReq_tx(dn, mods), kOpModifyResponse);
}

int LDAPClient::Add(const char* dn, const LDAPMod* mods) {
  if (!Connected("Add")) return kServerDown;
  return Update("Add", new LDAPAddReq_tx(dn, mods), kOpAddResponse);
}

int LDAPClient::Delete(const char* dn) {
  if (!Connected("Delete")) return kServerDown;
  return Update("Delete", new LDAPDelReq_tx(dn), kOpDelResponse);
}

int LDAPClient::ModRDN(const char* dn, const char* newrdn) {
  if (!Connected("ModRDN")) return kServerDown;
  return Update("ModRDN", new LDAPModRDNReq_tx(dn, newrdn), kOpModRDNResponse);
}

// ------------------------------------------------------------------ helpers

void LDAPClient::BeginOperation() {
  socket.SetDeadline(operation_timeout_ms);
  stale_skipped = 0;
}

bool LDAPClient::Connected(const char* op) {
  if (socket.state == Socket::CONNECTED) return true;
  Console->Print("LDAPClient::%s: socket not connected", op);
  return false;
}

void LDAPClient::DiscardSearch() {
  int error_code = 0;
  while (result != nullptr) GetNextEntry(error_code, 0);
}

bool LDAPClient::SendRequest(unsigned long id, ASN1Type* request) {
  LDAPMessage_tx message(static_cast<int>(id));
  message.Add2Seq(request);
  return message.Send(&socket, 0) == 0;
}

int LDAPClient::ResultCode(LDAPMessage_rx* answer) {
  LDAPResult_rx* answer_result = static_cast<LDAPResult_rx*>(answer);
  return answer_result->malformed ? kUnexpectedAnswer
                                  : answer_result->resultCode;
}

bool LDAPClient::Stale(unsigned long id) const {
  const unsigned long distance = (tx_msg_id - id) & 0x7FFFFFFFUL;
  return distance != 0 && distance <= kMaxStaleDistance;
}

LDAPMessage_rx* LDAPClient::ReadAnswer(unsigned char skipped_tag) {
  int skipped_here = 0;
  LDAPMessage_rx* answer = nullptr;
  for (;;) {
    answer = LDAPMessage_rx::GetMsg(&socket, nullptr);
    if (answer == nullptr || !Stale(answer->msg_id) ||
        (skipped_tag != kAnyAnswer && answer->op_tag != skipped_tag)) {
      break;
    }
    if (stale_skipped == kMaxStaleAnswers) {
      Console->Print(
          "LDAPClient: more than %d answers of earlier requests, connection "
          "closed",
          kMaxStaleAnswers);
      delete answer;
      answer = nullptr;
      socket.Close();
      break;
    }
    if (skipped_here == 0) {
      Console->Print("LDAPClient: skipped answer 0x%02x of earlier request %lu",
                     answer->op_tag, answer->msg_id);
    }
    delete answer;
    ++skipped_here;
    ++stale_skipped;
  }
  if (skipped_here > 1) {
    Console->Print("LDAPClient: skipped %d more answers of earlier requests",
                   skipped_here - 1);
  }
  return answer;
}

int LDAPClient::ReadResult(unsigned char answer_tag, const char* op,
                           bool* protocol_error) {
  // A bind answer is taken whatever its ID; an update first skips what is
  // left over from earlier requests, so that it never takes their result.
  std::unique_ptr<LDAPMessage_rx> answer(
      answer_tag == kOpBindResponse ? LDAPMessage_rx::GetMsg(&socket, nullptr)
                                    : ReadAnswer(kAnyAnswer));
  if (!answer) return kServerDown;
  if (answer->op_tag != answer_tag) return kUnexpectedAnswer;
  const int code = ResultCode(answer.get());
  if (protocol_error != nullptr) {
    *protocol_error = code == kProtocolErrorCode &&
                      !static_cast<LDAPResult_rx*>(answer.get())->malformed;
  }
  if (code != 0 && op != nullptr)
    Console->Print("LDAP %s: result=%d", op, code);
  return code;
}

int LDAPClient::Update(const char* op, ASN1Type* request,
                       unsigned char answer_tag) {
  BeginOperation();
  DiscardSearch();
  if (!SendRequest(NextTxId(), request)) {
    Console->Print("LDAPClient::%s: send failed", op);
    return kServerDown;
  }
  return ReadResult(answer_tag, op);
}

void LDAPClient::SendPreamble(const char* hostname, unsigned short portnum) {
  char destination[300];
  const int n = std::snprintf(destination, sizeof(destination), "%s:%u",
                              hostname != nullptr ? hostname : "", portnum);
  if (n < 0 || n > 255) {
    Console->Print("LDAPClient: proxy destination too long");
    socket.Close();
    state = FAILED;
    return;
  }
  OSBuf* buf = OSBuf::Alloc(reinterpret_cast<const UBYTE*>(destination), n);
  buf->PushData(static_cast<unsigned char>(n));
  if (socket.DataIndication(buf) != 0) state = FAILED;
}
