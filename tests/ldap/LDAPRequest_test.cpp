#include "ldap/LDAPRequest.h"

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "kernel/OSBuf.h"
#include "kernel/OSKernel.h"
#include "ldap/BerHex.h"
#include "network/CaptureConsole.h"
#include "network/Socket.h"

namespace {

class LDAPRequestTest : public ::testing::Test {
 protected:
  CaptureConsole console;
};

// An envelope with message ID `id` around `request`.
std::string Message(int id, ASN1Type* request) {
  LDAPMessage_tx message(id);
  message.Add2Seq(request);
  return EncodeHex(message);
}

TEST_F(LDAPRequestTest, EncodesEveryRequest) {
  const char* attributes[] = {"cn", "mail", nullptr};
  LDAPMod replace[2];
  replace[0].Set("cn", "x");
  struct Case {
    const char* name;
    ASN1Type* request;
    const char* encoding;
  } cases[] = {
      {"bind", new LDAPBindReq_tx("cn=a", "pw", 0),
       "30 12 02 01 01 60 0D 02 01 02 04 04 63 6E 3D 61 80 02 70 77"},
      {"bind method 1", new LDAPBindReq_tx("", "pw", 1),
       "30 0E 02 01 01 60 09 02 01 02 04 00 81 02 70 77"},
      {"bind method 2", new LDAPBindReq_tx("", "pw", 2),
       "30 0E 02 01 01 60 09 02 01 02 04 00 82 02 70 77"},
      {"bind other method", new LDAPBindReq_tx("", "pw", 7),
       "30 0E 02 01 01 60 09 02 01 02 04 00 04 02 70 77"},
      {"unbind", new LDAPUnbindReq_tx, "30 05 02 01 01 42 00"},
      {"search",
       new LDAPSearchReq_tx("o=x", 2, 0, 10, 5, 0, "(cn=*)", attributes),
       "30 29 02 01 01 63 24 04 03 6F 3D 78 0A 01 02 0A 01 00 02 01 0A 02 01 "
       "05 "
       "01 01 00 87 02 63 6E 30 0A 04 02 63 6E 04 04 6D 61 69 6C"},
      {"search without attributes",
       new LDAPSearchReq_tx("", 0, 0, 0, 0, 1, "(a=b)", nullptr),
       "30 20 02 01 01 63 1B 04 00 0A 01 00 0A 01 00 02 01 00 02 01 00 01 01 "
       "01 "
       "A3 06 04 01 61 04 01 62 30 00"},
      {"add", new LDAPAddReq_tx("cn=a", replace),
       "30 18 02 01 01 68 13 04 04 63 6E 3D 61 30 0B 30 09 04 02 63 6E 31 03 "
       "04 "
       "01 78"},
      {"delete", new LDAPDelReq_tx("cn=a"), "30 09 02 01 01 4A 04 63 6E 3D 61"},
      {"modify rdn", new LDAPModRDNReq_tx("cn=a", "cn=b"),
       "30 14 02 01 01 6C 0F 04 04 63 6E 3D 61 04 04 63 6E 3D 62 01 01 00"},
      {"search done", new LDAPResult_tx(0x65, 0, "", ""),
       "30 0C 02 01 01 65 07 0A 01 00 04 00 04 00"},
      {"search entry", new LDAPSearchResp_tx("a=b", new ASN1Sequence),
       "30 0C 02 01 01 64 07 04 03 61 3D 62 30 00"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Message(1, c.request), c.encoding) << c.name;
  }
  EXPECT_EQ(Message(300, new LDAPUnbindReq_tx), "30 06 02 02 01 2C 42 00");
}

TEST_F(LDAPRequestTest, ModifyListsTakeTextOrCountedValues) {
  LDAPMod mods[4];
  mods[0].Set("cn", "x");
  char mail[] = "mail";
  mods[1].mod_op = 1;  // delete every value
  mods[1].mod_type = mail;
  berval binary{2, const_cast<char*>("\x00\xff")};
  berval* binary_values[] = {&binary, nullptr};
  char photo[] = "photo";
  mods[2].mod_op = 0 | LDAPMod::kBinaryValues;
  mods[2].mod_type = photo;
  mods[2].mod_vals.modv_bvals = binary_values;

  LDAPModifyReq_tx modify("cn=a", mods);
  EXPECT_EQ(EncodeHex(modify),
            "66 3B 04 04 63 6E 3D 61 30 33 "
            "30 0E 0A 01 02 30 09 04 02 63 6E 31 03 04 01 78 "
            "30 0D 0A 01 01 30 08 04 04 6D 61 69 6C 31 00 "
            "30 12 0A 01 00 30 0D 04 05 70 68 6F 74 6F 31 04 04 02 00 FF");
  // Stop before the counted values: the list ends at the first null type.
  mods[1].mod_type = nullptr;
  LDAPModifyReq_tx one("cn=a", mods);
  EXPECT_EQ(EncodeHex(one),
            "66 18 04 04 63 6E 3D 61 30 10 "
            "30 0E 0A 01 02 30 09 04 02 63 6E 31 03 04 01 78");
  LDAPAddReq_tx none("cn=a", nullptr);
  EXPECT_EQ(EncodeHex(none), "68 08 04 04 63 6E 3D 61 30 00");
}

TEST_F(LDAPRequestTest, ModificationRecordsOwnTheirCopies) {
  LDAPMod mod;
  EXPECT_EQ(mod.mod_type, nullptr);
  char name[] = "telephoneNumber";
  char value[] = "4711";
  mod.Set(name, value);
  name[0] = value[0] = 'X';
  EXPECT_STREQ(mod.mod_type, "telephoneNumber");
  EXPECT_STREQ(mod.mod_vals.modv_strvals[0], "4711");
  EXPECT_EQ(mod.vals[1], nullptr);
  EXPECT_EQ(mod.mod_op, 2);
  mod.Set("cn", nullptr);  // the earlier copies are freed
  EXPECT_STREQ(mod.vals[0], "");
}

TEST_F(LDAPRequestTest, RejectedFiltersAreLeftOutAndFreed) {
  LDAPSearchReq_tx search("o=x", 2, 0, 0, 0, 0, "(cn=x", nullptr);
  EXPECT_EQ(search.filter->valid, 0);
  EXPECT_EQ(search.seq_list.Size(), 6);  // neither filter nor attributes
  EXPECT_TRUE(console.Has("LDAPFilter_tx: filter parse error (cn=x"));
  // Rejected composites and their sub-filters leak nothing (sanitizer build).
  LDAPSearchReq_tx composite("", 2, 0, 0, 0, 0, "(&(a=1)(b=2)(c", nullptr);
  LDAPSearchReq_tx partial("", 2, 0, 0, 0, 0, "(&(a=1)(|(b=2)(c=3) ))",
                           nullptr);
  EXPECT_EQ(composite.filter->valid + partial.filter->valid, 0);
}

// A socket that records the buffers handed to it instead of sending them.
class RecordingSocket : public Socket {
 public:
  RecordingSocket() : Socket(Socket::UDP, 0, false, 0x7F000001) {}

  OSIORetCode DataIndication(OSBuf* buf) override { return Take(buf, false); }
  int Queue(OSBuf* buf) override { return Take(buf, true); }

  std::vector<size_t> sizes;  // bytes of each buffer, in order
  std::vector<bool> queued;   // whether each came through Queue
  std::string bytes;          // everything handed over
  int refuse_from = -1;       // the buffer from which on to refuse

 private:
  OSIORetCode Take(OSBuf* buf, bool delayed) {
    sizes.push_back(buf->length);
    queued.push_back(delayed);
    bytes.append(reinterpret_cast<char*>(buf->data), buf->length);
    buf->Free();
    return refuse_from >= 0 && static_cast<int>(sizes.size()) > refuse_from
               ? NoConnection
               : Success;
  }
};

// A message of exactly `total` encoded bytes.
std::unique_ptr<LDAPMessage_tx> MessageOfSize(unsigned long total) {
  for (unsigned long n = total; n > 0; --n) {
    std::unique_ptr<LDAPMessage_tx> message(new LDAPMessage_tx(1));
    message->Add2Seq(new ASN1String(std::string(n, 'v').c_str()));
    if (message->Length() == total) return message;
  }
  return nullptr;
}

std::string Encoded(LDAPMessage_tx& message) {
  std::vector<unsigned char> buf(message.Length());
  unsigned char* dp = buf.data();
  message.BerEncode(dp);
  return std::string(buf.begin(), buf.end());
}

TEST_F(LDAPRequestTest, SendUsesOneBufferBelowTheLimitAndPiecesAbove) {
  const unsigned long limit = KERNELCFG->buf_size[3] - 100;
  ASSERT_EQ(limit, 1640u);
  struct Case {
    unsigned long total;
    std::vector<size_t> pieces;
  } cases[] = {
      {10, {10}},
      {limit - 1, {limit - 1}},
      {limit, {limit}},
      {limit + 1, {limit, 1}},
      {4000, {limit, limit, 4000 - 2 * limit}},
  };
  for (const Case& c : cases) {
    std::unique_ptr<LDAPMessage_tx> message = MessageOfSize(c.total);
    ASSERT_NE(message, nullptr) << c.total;
    RecordingSocket socket;
    EXPECT_EQ(message->Send(&socket, 0), 0) << c.total;
    EXPECT_EQ(socket.sizes, c.pieces) << c.total;
    EXPECT_EQ(socket.bytes, Encoded(*message)) << c.total;
    EXPECT_EQ(socket.queued, std::vector<bool>(c.pieces.size(), false));

    RecordingSocket delayed;
    EXPECT_EQ(message->Send(&delayed, 1), 0);
    EXPECT_EQ(delayed.queued, std::vector<bool>(c.pieces.size(), true));
  }
}

TEST_F(LDAPRequestTest, SendStopsAtTheFirstRefusedPiece) {
  std::unique_ptr<LDAPMessage_tx> message = MessageOfSize(5000);
  RecordingSocket socket;
  socket.refuse_from = 1;  // the second piece is refused
  EXPECT_EQ(message->Send(&socket, 0), OSIO::NoConnection);
  EXPECT_EQ(socket.sizes.size(), 2u);

  RecordingSocket refusing;
  refusing.refuse_from = 0;
  std::unique_ptr<LDAPMessage_tx> small = MessageOfSize(20);
  EXPECT_EQ(small->Send(&refusing, 0), OSIO::NoConnection);
}

}  // namespace
