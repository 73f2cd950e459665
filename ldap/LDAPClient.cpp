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

// Tags of the answers the client expects.
const unsigned char kBindResponse = 0x61;
const unsigned char kSearchEntry = 0x64;
const unsigned char kSearchDone = 0x65;
const unsigned char kModifyResponse = 0x67;
const unsigned char kAddResponse = 0x69;
const unsigned char kDelResponse = 0x6B;
const unsigned char kModRDNResponse = 0x6D;

// ReadAnswer: skip stale answers of every type.
const unsigned char kAnyAnswer = 0;

// Stale search-done answers skipped in a row, and how far behind they may be.
const int kMaxRecoveryLevel = 5;
const unsigned long kMaxStaleDistance = 4;

}  // namespace

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

int LDAPClient::SimpleBind(const char* dn, const char* passwd) {
  if (socket.state != Socket::CONNECTED) {
    Console->Print("LDAPClient::SimpleBind: socket not connected");
    return kServerDown;
  }
  if (passwd == nullptr) passwd = GetMacStr();
  if (!SendRequest(NextTxId(), new LDAPBindReq_tx(dn, passwd, 0))) {
    Console->Print("LDAPClient::SimpleBind: failed to send bind request");
    return kServerDown;
  }
  const int code = ReadResult(kBindResponse, nullptr);
  if (code == 0) state = BOUND;
  return code;
}

int LDAPClient::Unbind() {
  if (state == BOUND) {
    SendRequest(NextTxId(), new LDAPUnbindReq_tx);
    socket.Close();
  }
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

  LDAPMessage_rx* answer = ReadAnswer(kSearchEntry);
  if (answer == nullptr) {
    error_code = kServerDown;
    return 0;
  }
  if (answer->op_tag == kSearchEntry) {
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
  if (answer->op_tag != kSearchDone) {
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
  return Update("Modify", new LDAPModifyReq_tx(dn, mods), kModifyResponse);
}

int LDAPClient::Add(const char* dn, const LDAPMod* mods) {
  if (!Connected("Add")) return kServerDown;
  return Update("Add", new LDAPAddReq_tx(dn, mods), kAddResponse);
}

int LDAPClient::Delete(const char* dn) {
  if (!Connected("Delete")) return kServerDown;
  return Update("Delete", new LDAPDelReq_tx(dn), kDelResponse);
}

int LDAPClient::ModRDN(const char* dn, const char* newrdn) {
  if (!Connected("ModRDN")) return kServerDown;
  return Update("ModRDN", new LDAPModRDNReq_tx(dn, newrdn), kModRDNResponse);
}

// ------------------------------------------------------------------ helpers

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
  for (;;) {
    LDAPMessage_rx* answer = LDAPMessage_rx::GetMsg(&socket, nullptr);
    if (answer == nullptr || !Stale(answer->msg_id) ||
        (skipped_tag != kAnyAnswer && answer->op_tag != skipped_tag)) {
      return answer;
    }
    Console->Print("LDAPClient: skipped answer 0x%02x of earlier request %lu",
                   answer->op_tag, answer->msg_id);
    delete answer;
  }
}

int LDAPClient::ReadResult(unsigned char answer_tag, const char* op) {
  // A bind answer is taken whatever its ID; an update first skips what is
  // left over from earlier requests, so that it never takes their result.
  std::unique_ptr<LDAPMessage_rx> answer(
      answer_tag == kBindResponse ? LDAPMessage_rx::GetMsg(&socket, nullptr)
                                  : ReadAnswer(kAnyAnswer));
  if (!answer) return kServerDown;
  if (answer->op_tag != answer_tag) return kUnexpectedAnswer;
  const int code = ResultCode(answer.get());
  if (code != 0 && op != nullptr)
    Console->Print("LDAP %s: result=%d", op, code);
  return code;
}

int LDAPClient::Update(const char* op, ASN1Type* request,
                       unsigned char answer_tag) {
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
