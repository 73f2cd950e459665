// Decoders of incoming directory messages and the framing of GetMsg.
#include "ldap/LDAPResponse.h"

#include <memory>

#include "gtest/gtest.h"
#include "ldap/LDAPRequest.h"
#include "network/Socket.h"
#include "tests/ldap/LDAPPeer.h"
#include "tests/network/CaptureConsole.h"

using namespace ldappeer;

namespace {

// Decodes `bytes` from an exactly sized heap copy, so that the address
// sanitizer catches any read past the message.
template <typename T>
std::unique_ptr<T> Decode(const std::string& bytes) {
  std::vector<unsigned char> copy(bytes.begin(), bytes.end());
  unsigned char* dp = copy.data();
  return std::unique_ptr<T>(new T(dp, copy.data() + copy.size()));
}

std::string Encode(int id, ASN1Type* request) {
  LDAPMessage_tx message(id);
  message.Add2Seq(request);
  std::vector<unsigned char> buf(message.Length());
  unsigned char* dp = buf.data();
  message.BerEncode(dp);
  return std::string(buf.begin(), buf.end());
}

std::string Pairs(LDAPSearchRes_rx& entry) {
  std::string out;
  char* a = nullptr;
  char* v = nullptr;
  for (int more = entry.FirstAttribute(a, v); more;
       more = entry.NextAttribute(a, v)) {
    out += std::string(a) + "=" + v + ";";
  }
  return out;
}

class DecoderTest : public ::testing::Test {
 protected:
  CaptureConsole console;
};

TEST_F(DecoderTest, Results) {
  auto done =
      Decode<LDAPResult_rx>(Raw("30 0C 02 01 03 65 07 0A 01 00 04 00 04 00"));
  EXPECT_FALSE(done->malformed);
  EXPECT_EQ(done->msg_id, 3u);
  EXPECT_EQ(done->resultCode, 0);
  EXPECT_STREQ(done->errorMessage->str, "");
  // An INTEGER code, texts, and a referral that is ignored.
  auto bind = Decode<LDAPResult_rx>(
      Msg(200, TLV(0x61, Int(49) + Str("o=x") + Str("bad") +
                             TLV(0xA3, Str("ldap://x/")))));
  EXPECT_FALSE(bind->malformed);
  EXPECT_EQ(bind->resultCode, 49);
  EXPECT_STREQ(bind->matchedDN->str, "o=x");
  EXPECT_STREQ(bind->errorMessage->str, "bad");
  // Without a code the result is malformed, never a success.
  EXPECT_TRUE(Decode<LDAPResult_rx>(Msg(4, TLV(0x67, "")))->malformed);
}

TEST_F(DecoderTest, SearchEntries) {
  auto bare = Decode<LDAPSearchRes_rx>(
      Raw("30 0C 02 01 05 64 07 04 03 61 3D 62 30 00"));
  EXPECT_STREQ(bare->objectName->str, "a=b");
  char* a = nullptr;
  char* v = nullptr;
  EXPECT_EQ(bare->FirstAttribute(a, v), 0);

  // Attributes-only answers carry empty value sets.
  auto entry = Decode<LDAPSearchRes_rx>(Msg(
      2, Entry("cn=B", {{"cn", {"Bob"}}, {"mail", {}}, {"sn", {"Baker"}}})));
  EXPECT_EQ(Pairs(*entry), "cn=Bob;mail=;sn=Baker;");
  EXPECT_TRUE(console.Empty());

  auto several = Decode<LDAPSearchRes_rx>(Msg(
      2,
      Entry("cn=E", {{"tel", {"2004", "2005", "2006"}}, {"sn", {"Evans"}}})));
  EXPECT_TRUE(console.Has("LDAPSearchRes_rx: msg format error 2"));
  EXPECT_EQ(Pairs(*several), "tel=2004;sn=Evans;")
      << "first value kept, next attribute read";
  EXPECT_TRUE(several->HasMoreValues("tel"));
  EXPECT_FALSE(several->HasMoreValues("sn"));
  EXPECT_FALSE(console.Has("LDAPSearchRes_rx: msg format error 3"));
}

TEST_F(DecoderTest, SearchEntryFormatErrors) {
  EXPECT_EQ(Decode<LDAPSearchRes_rx>(Raw("30 05 02 01 01 64 00"))->objectName,
            nullptr);
  EXPECT_TRUE(
      console.Has("LDAPSearchRes_rx: msg format error (no objectName)"));
  const std::string list =
      TLV(0x30, TLV(0x30, Str("cn") + TLV(0x31, Str("A"))));
  auto trailing = Decode<LDAPSearchRes_rx>(
      Msg(2, TLV(0x64, Str("cn=A") + list + Raw("04 00"))));
  EXPECT_TRUE(console.Has("LDAPSearchRes_rx: msg format error 1"));
  EXPECT_TRUE(console.Has("LDAPSearchRes_rx: msg format error 3"));
  EXPECT_EQ(Pairs(*trailing), "cn=A;");
  // Tiny attributes would make the entry a hundred times the message's size.
  std::string many;
  for (int i = 0; i < LDAPSearchRes_rx::kMaxAttributes + 3; ++i)
    many += Raw("30 00");
  auto flood = Decode<LDAPSearchRes_rx>(
      Msg(2, TLV(0x64, Str("cn=F") + TLV(0x30, many))));
  EXPECT_EQ(flood->attributes.Size(), 2 * LDAPSearchRes_rx::kMaxAttributes);
  EXPECT_STREQ(flood->objectName->str, "cn=F");
  EXPECT_TRUE(console.Has(
      "LDAPSearchRes_rx: more than 4096 attributes, the rest ignored"));
}

// Every decoder, given every prefix of a sound message (the outer length cut
// to match, so that inner elements overrun), stays inside its bytes.
TEST_F(DecoderTest, TruncatedMessagesAreNeverReadPast) {
  LDAPMod mods[2];
  mods[0].Set("sn", "Baker");
  const std::string messages[] = {
      Msg(2, Entry("cn=B", {{"cn", {"Bob", "Rob"}}, {"sn", {"B"}}})),
      Msg(3, Result(0x65, 32, "none")),
      Encode(4, new LDAPBindReq_tx("cn=admin", "secret", 0)),
      Encode(5, new LDAPModifyReq_tx("cn=Bob", mods)),
      Encode(6, new LDAPAddReq_tx("cn=Bob", mods)),
      Encode(7, new LDAPDelReq_tx("cn=Bob")),
      Encode(8, new LDAPModRDNReq_tx("cn=Bob", "cn=Rob")),
  };
  for (const std::string& whole : messages) {
    ASSERT_LT(whole.size(), 0x80u);
    for (size_t cut = 2; cut <= whole.size(); ++cut) {
      std::string part = whole.substr(0, cut);
      part[1] = static_cast<char>(cut - 2);
      switch (static_cast<unsigned char>(whole[5])) {
        case 0x64:
          Decode<LDAPSearchRes_rx>(part);
          break;
        case 0x65:
          Decode<LDAPResult_rx>(part);
          break;
        case 0x60:
          Decode<LDAPBindReq_rx>(part);
          break;
        case 0x66:
          Decode<LDAPModifyReq_rx>(part);
          break;
        case 0x68:
          Decode<LDAPAddReq_rx>(part);
          break;
        case 0x4A:
          Decode<LDAPDelReq_rx>(part);
          break;
        default:
          Decode<LDAPModRDNReq_rx>(part);
          break;
      }
    }
  }
}

TEST_F(DecoderTest, Requests) {
  auto bind =
      Decode<LDAPBindReq_rx>(Encode(1, new LDAPBindReq_tx("cn=a", "pw", 0)));
  EXPECT_EQ(bind->valid, 1);
  EXPECT_EQ(bind->version, 2);
  EXPECT_STREQ(bind->name->str, "cn=a");
  EXPECT_STREQ(bind->cred->str, "pw");
  EXPECT_EQ(
      Decode<LDAPBindReq_rx>(Encode(1, new LDAPBindReq_tx("", "x", 2)))->method,
      2);
  EXPECT_EQ(
      Decode<LDAPBindReq_rx>(Encode(1, new LDAPBindReq_tx("a", "x", 7)))->valid,
      0);

  LDAPMod mods[3];
  mods[0].Set("sn", "Baker");
  mods[1].Set("mail", "b@k");
  mods[1].mod_op = 0;
  auto modify =
      Decode<LDAPModifyReq_rx>(Encode(2, new LDAPModifyReq_tx("cn=b", mods)));
  ASSERT_EQ(modify->modifications.Size(), 2);
  LDAPModification_rx* second = modify->modifications.At(1);
  EXPECT_EQ(second->op, 0);
  EXPECT_STREQ(second->attr_name->str, "mail");
  EXPECT_STREQ(second->values.At(0)->str, "b@k");
  auto add = Decode<LDAPAddReq_rx>(Encode(3, new LDAPAddReq_tx("cn=c", mods)));
  EXPECT_STREQ(add->entry->str, "cn=c");
  EXPECT_EQ(add->attrs.Size(), 2);
  EXPECT_STREQ(
      Decode<LDAPDelReq_rx>(Encode(4, new LDAPDelReq_tx("cn=d")))->dn->str,
      "cn=d");
  auto rdn =
      Decode<LDAPModRDNReq_rx>(Encode(5, new LDAPModRDNReq_tx("cn=e", "cn=f")));
  EXPECT_STREQ(rdn->newrdn->str, "cn=f");
  EXPECT_TRUE(console.Empty());

  // A modification whose SET is followed by stray bytes; lists missing.
  const std::string stray =
      TLV(0x30, Int(2, 0x0A) + TLV(0x30, Str("sn") + TLV(0x31, Str("x"))) +
                    Raw("05 00"));
  Decode<LDAPModifyReq_rx>(Msg(1, TLV(0x66, Str("cn=a") + TLV(0x30, stray))));
  for (const char* n : {"1", "2", "3"}) {
    EXPECT_TRUE(
        console.Has(std::string("LDAPModification_rx: format error ") + n));
  }
  Decode<LDAPModifyReq_rx>(Msg(1, TLV(0x66, Str("cn=a"))));
  EXPECT_TRUE(console.Has("LDAPModifyReq_rx: modification SEQ not found"));
  Decode<LDAPAddReq_rx>(Msg(1, TLV(0x68, Str("cn=a"))));
  EXPECT_TRUE(console.Has("LDAPAddReq_rx: attribute SEQ not found\r\n"));
}

// GetMsg on a connection whose peer sends `bytes` and then waits for the
// client to close (or closes at once).
class GetMsgTest : public ::testing::Test {
 protected:
  void Serve(const std::string& bytes, bool close_after = false) {
    socket.reset();
    peer.reset(new LoopbackPeer([bytes, close_after](int fd) {
      Send(fd, bytes);
      if (!close_after) Drain(fd);
    }));
    socket.reset(new Socket(Socket::TCP_CLIENT, "127.0.0.1", peer->port()));
  }
  std::unique_ptr<LDAPMessage_rx> Get() {
    return std::unique_ptr<LDAPMessage_rx>(
        LDAPMessage_rx::GetMsg(socket.get(), &err));
  }
  void TearDown() override { socket.reset(); }

  CaptureConsole console;
  std::unique_ptr<LoopbackPeer> peer;
  std::unique_ptr<Socket> socket;
  int err = 1;
};

TEST_F(GetMsgTest, FramesMessagesOfAnySizeExactly) {
  const std::string big(70000, 'x');
  Serve(Raw("30 05 02 01 07 42 00") +
        Msg(8, Entry("cn=big", {{"photo", {big}}})) + Raw("30 03 02 01 01") +
        Raw("30 00") + Msg(9, Result(0x65, 0)));
  auto unbind = Get();
  ASSERT_NE(unbind, nullptr);
  EXPECT_EQ(err, 0);
  EXPECT_EQ(unbind->op_tag, 0x42);
  auto entry = Get();
  ASSERT_NE(entry, nullptr);
  EXPECT_EQ(Pairs(*static_cast<LDAPSearchRes_rx*>(entry.get())),
            "photo=" + big + ";");
  // Messages too short for an envelope are refused one by one.
  EXPECT_EQ(Get(), nullptr);
  EXPECT_EQ(err, LDAPMessage_rx::kMalformed);
  EXPECT_EQ(Get(), nullptr);
  EXPECT_EQ(err, LDAPMessage_rx::kMalformed);
  std::unique_ptr<LDAPMessage_rx> done(
      LDAPMessage_rx::GetMsg(socket.get(), nullptr));
  ASSERT_NE(done, nullptr);
  EXPECT_EQ(done->msg_id, 9u);
}

TEST_F(GetMsgTest, UnframeableStreamsCloseTheConnection) {
  for (const char* hex :
       {"31 05 02 01 01 42 00", "30 84 7F FF FF FF 02 01 01",
        "30 80 02 01 01 42 00 00 00", "30 85 00 00 00 00 07"}) {
    Serve(Raw(hex) + Msg(2, Result(0x61, 0)));
    EXPECT_EQ(Get(), nullptr) << hex;
    EXPECT_EQ(err, LDAPMessage_rx::kMalformed) << hex;
    EXPECT_EQ(Get(), nullptr)
        << "nothing after it is taken for a message: " << hex;
    EXPECT_EQ(err, LDAPMessage_rx::kSocketError) << hex;
  }
  EXPECT_TRUE(
      console.Has("LDAPMessage::GetMsg: unexpected tag 0x31 from 127.0.0.1"));
}

TEST_F(GetMsgTest, PeerClosingMidMessage) {
  Serve(Msg(1, Result(0x65, 0)).substr(0, 9), true);
  EXPECT_EQ(Get(), nullptr);
  EXPECT_EQ(err, LDAPMessage_rx::kSocketError);
}

TEST_F(GetMsgTest, OperationsWithoutDecoder) {
  Serve(Msg(1, Int(3, 0x50)) + Msg(3, TLV(0x77, "")) +
        Msg(4, TLV(0x60, Int(2))) + Msg(5, Result(0x61, 0)));
  EXPECT_EQ(Get(), nullptr);
  EXPECT_EQ(err, 0);
  EXPECT_TRUE(console.Has("LDAPMessage_rx::GetMsg: add support for 0x50 !"));
  EXPECT_EQ(Get(), nullptr);
  EXPECT_EQ(err, 0);
  EXPECT_TRUE(
      console.Has("LDAPMessage_rx::GetMsg: unexpected op tag 0x77\r\n"));
  EXPECT_EQ(Get(), nullptr);
  EXPECT_EQ(err, LDAPMessage_rx::kMalformed);
  EXPECT_TRUE(console.Has("LDAPBindReq_rx: bad packet format"));
  auto bind = Get();
  ASSERT_NE(bind, nullptr);
  EXPECT_EQ(bind->msg_id, 5u);
}

}  // namespace
