#include "ldap/LDAPRequest.h"

#include <cstring>
#include <vector>

#include "kernel/OSBuf.h"
#include "kernel/OSConsole.h"
#include "kernel/OSKernel.h"
#include "network/Socket.h"

namespace {

// Hands `buf` to the socket: queued when `delayed`, else sent at once.
int Pass(Socket* s, OSBuf* buf, int delayed) {
  return delayed ? s->Queue(buf) : s->DataIndication(buf);
}

// A copy of `text` (null reads as empty) in a new array.
std::unique_ptr<char[]> CopyText(const char* text) {
  if (text == nullptr) text = "";
  const size_t n = std::strlen(text) + 1;
  std::unique_ptr<char[]> copy(new char[n]);
  std::memcpy(copy.get(), text, n);
  return copy;
}

// The SET of values of one modification or attribute.
ASN1Set* ValueSet(const LDAPMod& mod) {
  ASN1Set* set = new ASN1Set;
  if (mod.mod_op & LDAPMod::kBinaryValues) {
    for (berval** bv = mod.mod_vals.modv_bvals; bv != nullptr && *bv != nullptr;
         ++bv) {
      set->Add2Seq(
          new ASN1String(reinterpret_cast<const unsigned char*>((*bv)->bv_val),
                         (*bv)->bv_len));
    }
  } else {
    for (char** v = mod.mod_vals.modv_strvals; v != nullptr && *v != nullptr;
         ++v) {
      set->Add2Seq(new ASN1String(*v));
    }
  }
  return set;
}

// SEQUENCE { type, SET OF value } of one modification or attribute.
ASN1Sequence* Attribute(const LDAPMod& mod) {
  ASN1Sequence* attribute = new ASN1Sequence;
  attribute->Add2Seq(new ASN1String(mod.mod_type));
  attribute->Add2Seq(ValueSet(mod));
  return attribute;
}

}  // namespace

// ---------------------------------------------------------- LDAPMessage_tx

CRITICAL_SECTION LDAPMessage_tx::cs;
unsigned long LDAPMessage_tx::next_id = 0;

LDAPMessage_tx::LDAPMessage_tx(int id) : msg_id(id) {
  Add2Seq(new ASN1Integer(id));
}

void LDAPMessage_tx::Init() {
  if (cs.sem == nullptr) InitializeCriticalSection(&cs);
}

void LDAPMessage_tx::Cleanup() {
  if (cs.sem != nullptr) DeleteCriticalSection(&cs);
}

int LDAPMessage_tx::Send(Socket* s, int delayed) {
  const unsigned long size = Length();
  const unsigned long limit = KERNELCFG->buf_size[3] - 100;

  if (size < limit) {
    OSBuf* buf = OSBuf::Alloc(static_cast<int>(size));
    buf->PushDown(static_cast<unsigned short>(size));
    unsigned char* dp = buf->data;
    BerEncode(dp);
    if (dp > buf->data + buf->length) {
      Console->Fatal("LDAPMessage_tx::Send() - Buffer overlow %d",
                     static_cast<int>(dp - (buf->data + buf->length)));
    }
    return Pass(s, buf, delayed);
  }

  std::vector<unsigned char> block(size + 10);
  unsigned char* dp = block.data();
  BerEncode(dp);
  if (dp > block.data() + size) {
    Console->Fatal("LDAPMessage_tx::Send() - Buffer overlow %d",
                   static_cast<int>(dp - (block.data() + size)));
  }
  int result = 0;
  for (unsigned long sent = 0; sent < size && result == 0; sent += limit) {
    const unsigned long piece = size - sent < limit ? size - sent : limit;
    result = Pass(s, OSBuf::Alloc(block.data() + sent, static_cast<int>(piece)),
                  delayed);
  }
  return result;
}

// ------------------------------------------------------------------ LDAPMod

LDAPMod::LDAPMod() : vals{nullptr, nullptr}, mod_op(0), mod_type(nullptr) {
  mod_vals.modv_strvals = nullptr;
}

LDAPMod::~LDAPMod() = default;

void LDAPMod::Set(const char* Aattr_name, const char* Aattr_val) {
  owned_value = CopyText(Aattr_val);
  owned_type = CopyText(Aattr_name);
  vals[0] = owned_value.get();
  vals[1] = nullptr;
  mod_vals.modv_strvals = vals;
  mod_type = owned_type.get();
  mod_op = 2;
}

// ---------------------------------------------------------------- builders

LDAPBindReq_tx::LDAPBindReq_tx(const char* Adn, const char* Acred, int Amethod,
                               int version) {
  SetTag(kOpBindRequest);
  Add2Seq(new ASN1Integer(version));
  Add2Seq(new ASN1String(Adn));
  ASN1String* cred = new ASN1String(Acred);
  if (Amethod >= 0 && Amethod <= 2) {
    cred->SetTag(static_cast<unsigned char>(0x80 + Amethod));
  }
  Add2Seq(cred);
}

LDAPUnbindReq_tx::LDAPUnbindReq_tx() { SetTag(kOpUnbindRequest); }

LDAPSearchReq_tx::LDAPSearchReq_tx(const char* Abase, int Ascope,
                                   int AderefAliases, int AsizeLimit,
                                   int AtimeLimit, int AattrsOnly,
                                   const char* Afilter,
                                   const char* const* Aattributes)
    : filter(nullptr) {
  SetTag(kOpSearchRequest);
  Add2Seq(new ASN1String(Abase));
  Add2Seq(new ASN1Enumerated(Ascope));
  Add2Seq(new ASN1Enumerated(AderefAliases));
  Add2Seq(new ASN1Integer(AsizeLimit));
  Add2Seq(new ASN1Integer(AtimeLimit));
  Add2Seq(new ASN1Boolean(AattrsOnly));
  filter = new LDAPFilter_tx(Afilter);
  if (!filter->valid) return;
  Add2Seq(filter);
  ASN1Sequence* attributes = new ASN1Sequence;
  for (const char* const* a = Aattributes; a != nullptr && *a != nullptr; ++a) {
    attributes->Add2Seq(new ASN1String(*a));
  }
  Add2Seq(attributes);
}

LDAPSearchReq_tx::~LDAPSearchReq_tx() {
  if (filter != nullptr && !filter->valid) delete filter;
}

LDAPModifyReq_tx::LDAPModifyReq_tx(const char* Adn, const LDAPMod* Amods) {
  SetTag(kOpModifyRequest);
  Add2Seq(new ASN1String(Adn));
  ASN1Sequence* list = new ASN1Sequence;
  for (const LDAPMod* m = Amods; m != nullptr && m->mod_type != nullptr; ++m) {
    ASN1Sequence* change = new ASN1Sequence;
    change->Add2Seq(new ASN1Enumerated(m->mod_op & ~LDAPMod::kBinaryValues));
    change->Add2Seq(Attribute(*m));
    list->Add2Seq(change);
  }
  Add2Seq(list);
}

LDAPAddReq_tx::LDAPAddReq_tx(const char* Adn, const LDAPMod* Amods) {
  SetTag(kOpAddRequest);
  Add2Seq(new ASN1String(Adn));
  ASN1Sequence* list = new ASN1Sequence;
  for (const LDAPMod* m = Amods; m != nullptr && m->mod_type != nullptr; ++m) {
    list->Add2Seq(Attribute(*m));
  }
  Add2Seq(list);
}

LDAPDelReq_tx::LDAPDelReq_tx(const char* Adn) : ASN1String(Adn) {
  SetTag(kOpDelRequest);
}

LDAPModRDNReq_tx::LDAPModRDNReq_tx(const char* Adn, const char* Anewrdn) {
  SetTag(kOpModRDNRequest);
  Add2Seq(new ASN1String(Adn));
  Add2Seq(new ASN1String(Anewrdn));
  Add2Seq(new ASN1Boolean(0));
}

LDAPResult_tx::LDAPResult_tx(unsigned char Atag, int Aresult,
                             const char* AmatchedDN, const char* Aerror) {
  SetTag(Atag);
  Add2Seq(new ASN1Enumerated(Aresult));
  Add2Seq(new ASN1String(AmatchedDN));
  Add2Seq(new ASN1String(Aerror));
}

LDAPSearchResp_tx::LDAPSearchResp_tx(const char* AobjectName,
                                     ASN1Sequence* Aattributes) {
  SetTag(kOpSearchEntry);
  Add2Seq(new ASN1String(AobjectName));
  Add2Seq(Aattributes != nullptr ? Aattributes : new ASN1Sequence);
}
