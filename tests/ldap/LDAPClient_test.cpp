// The directory client against a scripted peer: what it sends, its status
// codes and its recovery from stale search answers.
#include "ldap/LDAPClient.h"

#include <chrono>
#include <memory>

#include "gtest/gtest.h"
#include "tests/ldap/LDAPPeer.h"
#include "tests/network/CaptureConsole.h"

using namespace ldappeer;

namespace {

class ClientTest : public ::testing::Test {
 protected:
  // A client connected to a peer running `script`; with `bound`, the peer
  // first answers the client's bind.
  void Start(std::function<void(int fd)> script, bool bound = true) {
    peer.reset(new LoopbackPeer([this, script, bound](int fd) {
      if (bound) Answer(fd, frames, 0x61);
      script(fd);
    }));
    client.reset(new LDAPClient("127.0.0.1", peer->port()));
    ASSERT_EQ(client->state, LDAPClient::CONNECTED);
    if (bound) {
      ASSERT_EQ(client->SimpleBind("cn=admin", "pw"), 0);
    }
  }
  // Deletes the client (which unbinds), then lets the peer finish.
  void Finish() {
    client.reset();
    peer.reset();
  }
  void TearDown() override { Finish(); }
  int Search(const char* filter = "(cn=A)") {
    return client->Search("", 2, filter, nullptr, 0, 0, 0, 0);
  }

  CaptureConsole console;
  std::unique_ptr<LoopbackPeer> peer;
  std::unique_ptr<LDAPClient> client;
  std::vector<std::string> frames;  // requests the peer read
};

TEST_F(ClientTest, Bind) {
  Start(
      [this](int fd) {
        Answer(fd, frames, 0x61, 49);
        Answer(fd, frames, 0x65);
        Answer(fd, frames, 0x61);
        frames.push_back(Drain(fd));
      },
      false);
  EXPECT_EQ(client->SimpleBind("INTERNAL", nullptr), 49);
  EXPECT_EQ(client->state, LDAPClient::CONNECTED);
  EXPECT_EQ(Search(), LDAPClient::kNotBound);
  EXPECT_EQ(client->SimpleBind("cn=a", "b"), LDAPClient::kUnexpectedAnswer);
  EXPECT_EQ(client->SimpleBind("cn=admin,o=K", "secret"), 0);
  EXPECT_EQ(client->state, LDAPClient::BOUND);
  EXPECT_EQ(client->Unbind(), 0);
  EXPECT_EQ(client->state, LDAPClient::FINISHED);
  Finish();
  EXPECT_EQ(frames[0], Msg(1, TLV(0x60, Int(2) + Str("INTERNAL") +
                                            Str("740381926453", 0x80))));
  EXPECT_EQ(frames[2], Msg(3, TLV(0x60, Int(2) + Str("cn=admin,o=K") +
                                            Str("secret", 0x80))));
  EXPECT_EQ(frames[3], Raw("30 05 02 01 04 42 00"))
      << "nothing sent for the search";
}

// Version 2 as always; version 3 once more on the same connection only when
// version 2 is refused with protocolError, unless a version is fixed. A
// connection is unbound before it is closed, also after a failed bind.
TEST_F(ClientTest, BindVersions) {
  const struct {
    int version;
    std::vector<std::pair<unsigned char, int>> answers;  // tag and code
    std::vector<int> sent;                               // versions bound
    int status;
  } cases[] = {
      {0, {{0x61, 0}}, {2}, 0},
      {0, {{0x61, 2}, {0x61, 0}}, {2, 3}, 0},
      {0, {{0x61, 2}, {0x61, 49}}, {2, 3}, 49},
      {0, {{0x61, 49}}, {2}, 49},
      {0, {{0x65, 2}}, {2}, LDAPClient::kUnexpectedAnswer},
      {2, {{0x61, 2}}, {2}, 2},
      {3, {{0x61, 0}}, {3}, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.version << " " << c.answers.size());
    frames.clear();
    Start(
        [this, &c](int fd) {
          for (const auto& a : c.answers) Answer(fd, frames, a.first, a.second);
          frames.push_back(Drain(fd));
        },
        false);
    EXPECT_EQ(client->SimpleBind("cn=admin", "pw", c.version), c.status);
    EXPECT_EQ(client->state == LDAPClient::BOUND, c.status == 0);
    Finish();
    ASSERT_EQ(frames.size(), c.sent.size() + 1);
    for (size_t i = 0; i < c.sent.size(); ++i) {
      EXPECT_EQ(frames[i],
                Msg(i + 1, TLV(0x60, Int(c.sent[i]) + Str("cn=admin") +
                                         Str("pw", 0x80))));
    }
    EXPECT_EQ(frames.back(), Msg(c.sent.size() + 1, TLV(0x42, "")));
  }
}

// Whatever the server does, an operation ends within its time.
TEST_F(ClientTest, SlowServersCannotHoldAnOperation) {
  const std::string entry =
      Msg(2, Entry("cn=A", {{"description", {std::string(40, 'd')}}}));
  const struct {
    const char* name;
    std::function<void(int fd)> answer;
  } cases[] = {
      {"silent", [](int fd) { Drain(fd); }},
      {"trickle",
       [&entry](int fd) {
         for (size_t i = 0;
              i < entry.size() && send(fd, &entry[i], 1, MSG_NOSIGNAL) == 1;
              ++i) {
           LoopbackPeer::Pause(100);
         }
       }},
  };
  OperationTimeout short_time(300);
  for (const auto& c : cases) {
    Start([&c](int fd) {
      ReadFrame(fd);
      c.answer(fd);
    });
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Search(), LDAPClient::kServerDown) << c.name;
    // The trickle alone would last over 6 seconds.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3))
        << c.name;
    Finish();
  }
}

TEST_F(ClientTest, FloodOfStaleAnswersGivesTheConnectionUp) {
  Start([](int fd) {
    ReadFrame(fd);  // search 2, answered by entries of the bind's ID
    const std::string stale = Msg(1, Entry("cn=Old", {{"cn", {"Old"}}}));
    while (send(fd, stale.data(), stale.size(), MSG_NOSIGNAL) > 0) {
    }
  });
  EXPECT_EQ(Search(), LDAPClient::kServerDown);
  EXPECT_EQ(client->socket.state, Socket::INVALID);
  EXPECT_EQ(console.Count("LDAPClient: skipped answer"), 1);
  EXPECT_TRUE(
      console.Has("LDAPClient: skipped 63 more answers of earlier requests"));
  EXPECT_TRUE(
      console.Has("LDAPClient: more than 64 answers of earlier requests, "
                  "connection closed"));
}

TEST_F(ClientTest, SearchesAndTheirEntries) {
  Start([this](int fd) {
    frames.push_back(ReadFrame(fd));
    Send(fd, Msg(2, Entry("cn=A", {{"cn", {"A"}}, {"guid", {"g1"}}})) +
                 Msg(2, Entry("cn=B", {{"cn", {"B"}}})) +
                 Msg(2, Result(0x65, 0)));
    frames.push_back(ReadFrame(fd));
    Send(fd, Msg(4, Result(0x65, 4, "size limit")));
    Drain(fd);
  });
  const char* attrs[] = {"cn", "guid", nullptr};
  EXPECT_EQ(client->Search("o=K", 2, "(cn=*)", attrs, 0, 10, 5, 0), 0);
  EXPECT_STREQ(client->CurrentObject(), "cn=A");
  char* a = nullptr;
  char* v = nullptr;
  ASSERT_EQ(client->FirstAttribute(a, v), 1);
  ASSERT_EQ(client->NextAttribute(a, v), 1);
  EXPECT_STREQ(v, "g1");
  int code = -1;
  EXPECT_EQ(client->GetNextEntry(code, 0), 1);
  EXPECT_STREQ(client->CurrentObject(), "cn=B");
  EXPECT_EQ(client->GetNextEntry(code, 0), 0);
  EXPECT_EQ(code, 0);
  EXPECT_EQ(client->CurrentObject(), nullptr);
  EXPECT_EQ(client->FirstAttribute(a, v), 0);
  // An invalid filter sends nothing but uses up its message ID.
  EXPECT_EQ(Search("(cn=a"), LDAPClient::kFilterError);
  // A search ending at once gives the server's code; null attributes are "*".
  EXPECT_EQ(client->Search("", 0, "(objectClass=*)", nullptr, 1, 0, 0, 3), 4);
  Finish();
  EXPECT_EQ(
      frames[1],
      Msg(2, TLV(0x63, Str("o=K") + Int(2, 0x0A) + Int(0, 0x0A) + Int(10) +
                           Int(5) + Int(0, 0x01) + Str("cn", 0x87) +
                           TLV(0x30, Str("cn") + Str("guid")))));
  EXPECT_EQ(frames[2], Msg(4, TLV(0x63, Str("") + Int(0, 0x0A) + Int(3, 0x0A) +
                                            Int(0) + Int(0) + Int(1, 0x01) +
                                            Str("objectClass", 0x87) +
                                            TLV(0x30, Str("*")))));
}

TEST_F(ClientTest, StaleSearchDoneAnswers) {
  Start([](int fd) {
    ReadFrame(fd);  // search 8: one stale answer
    Send(fd, Msg(7, Result(0x65, 0)) + Msg(8, Entry("cn=A", {{"cn", {"A"}}})) +
                 Msg(8, Result(0x65, 0)));
    ReadFrame(fd);  // search 9: an answer from the future
    Send(fd, Msg(10, Result(0x65, 0)));
    // `n` stale answers for search `id`, each 1 to 4 behind it.
    auto stale = [](int id, int n) {
      std::string s;
      for (int i = 0; i < n; ++i) s += Msg(id - 1 - i % 4, Result(0x65, 0));
      return s;
    };
    ReadFrame(fd);  // search 10: six stale answers, then its own
    Send(fd, stale(10, 6) + Msg(10, Result(0x65, 0)));
    ReadFrame(fd);  // search 11: seven
    Send(fd, stale(11, 7));
    ReadFrame(fd);  // search 12: five behind
    Send(fd, Msg(7, Result(0x65, 0)));
    Drain(fd);
  });
  client->tx_msg_id = 7;
  EXPECT_EQ(Search(), 0);
  EXPECT_TRUE(console.Has(
      "LDAPClient::GetNextEntry SEARCH_RESULT expected id 8 got 7"));
  EXPECT_TRUE(console.Has(
      "LDAPClient::GetNextEntry attempting synchronisation recovery"));
  EXPECT_STREQ(client->CurrentObject(), "cn=A");
  console.Clear();
  EXPECT_EQ(Search(), LDAPClient::kUnmatched);
  EXPECT_TRUE(console.Has(
      "LDAPClient::GetNextEntry SEARCH_RESULT expected id 9 got 10"));
  EXPECT_FALSE(console.Has(
      "LDAPClient::GetNextEntry attempting synchronisation recovery"));
  EXPECT_EQ(Search(), 0);
  EXPECT_EQ(Search(), LDAPClient::kUnmatched);
  EXPECT_EQ(Search(), LDAPClient::kUnmatched);
}

// What a search that ended in an error leaves on the connection is never
// taken for the answer of a later request.
TEST_F(ClientTest, LeftoversOfEarlierRequestsAreSkipped) {
  Start([](int fd) {
    ReadFrame(fd);  // search 2 breaks off after its first entry
    Send(fd, Msg(2, Entry("cn=A", {{"cn", {"A"}}})) + Msg(2, TLV(0x77, "")) +
                 Msg(2, Entry("cn=Old", {{"cn", {"Old"}}})) +
                 Msg(2, Result(0x65, 0)));
    ReadFrame(fd);  // search 3
    Send(fd,
         Msg(3, Entry("cn=New", {{"cn", {"New"}}})) + Msg(3, Result(0x65, 0)));
    ReadFrame(fd);  // delete 4, after a stale answer
    Send(fd, Msg(3, Result(0x65, 0)) + Msg(4, Result(0x6B, 53)));
    ReadFrame(fd);  // search 5, answered with another request's entry
    Send(fd, Msg(9, Entry("cn=X", {{"cn", {"X"}}})));
    Drain(fd);
  });
  ASSERT_EQ(Search(), 0);
  int code = 0;
  EXPECT_EQ(client->GetNextEntry(code, 0), 0);
  EXPECT_EQ(code, LDAPClient::kServerDown);
  ASSERT_EQ(Search(), 0);
  EXPECT_STREQ(client->CurrentObject(), "cn=New");
  EXPECT_TRUE(
      console.Has("LDAPClient: skipped answer 0x64 of earlier request 2"));
  EXPECT_TRUE(console.Has(
      "LDAPClient::GetNextEntry SEARCH_RESULT expected id 3 got 2"));
  EXPECT_EQ(client->GetNextEntry(code, 0), 0);
  EXPECT_EQ(code, 0);
  EXPECT_EQ(client->Delete("cn=B,o=K"), 53)
      << "the delete's own result, not the stale one";
  EXPECT_EQ(Search(), LDAPClient::kUnmatched);
  EXPECT_EQ(client->CurrentObject(), nullptr);
  EXPECT_TRUE(
      console.Has("LDAPClient::GetNextEntry SEARCH_ENTRY expected id 5 got 9"));
}

TEST_F(ClientTest, UpdatesAndWhatTheySend) {
  Start([this](int fd) {
    ReadFrame(fd);
    Send(fd, Msg(2, Entry("cn=A", {{"cn", {"A"}}})) +
                 Msg(2, Entry("cn=B", {{"cn", {"B"}}})) +
                 Msg(2, Result(0x65, 0)));
    for (unsigned char answer : {0x67, 0x69, 0x6B, 0x6D, 0x65}) {
      Answer(fd, frames, answer, answer == 0x69 ? 68 : 0);
    }
    ReadFrame(fd);
    Send(fd, Msg(8, Entry("cn=A", {{"cn", {"A"}}})));  // then the peer closes
  });
  LDAPMod mods[2];
  mods[0].Set("sn", "Baker");
  // The search in progress is read to its end before the update goes out.
  ASSERT_EQ(Search("(cn=*)"), 0);
  EXPECT_EQ(client->Modify("cn=B,o=K", mods), 0);
  EXPECT_EQ(client->CurrentObject(), nullptr);
  EXPECT_EQ(client->Add("cn=B,o=K", mods), 68);
  EXPECT_TRUE(console.Has("LDAP Add: result=68"));
  EXPECT_EQ(client->Delete("cn=B,o=K"), 0);
  EXPECT_EQ(client->ModRDN("cn=B,o=K", "cn=C"), 0);
  EXPECT_EQ(client->Delete("cn=C,o=K"), LDAPClient::kUnexpectedAnswer);
  // The peer closes in the middle of a search.
  ASSERT_EQ(Search(), 0);
  int code = 0;
  EXPECT_EQ(client->GetNextEntry(code, 0), 0);
  EXPECT_EQ(code, LDAPClient::kServerDown);
  EXPECT_EQ(Search(), LDAPClient::kServerDown);
  EXPECT_TRUE(console.Has("LDAPClient::Search: socket not connected"));
  EXPECT_EQ(client->state, LDAPClient::FAILED);
  const std::string sn = TLV(0x30, Str("sn") + TLV(0x31, Str("Baker")));
  EXPECT_EQ(
      Op(frames[1]),
      TLV(0x66, Str("cn=B,o=K") + TLV(0x30, TLV(0x30, Int(2, 0x0A) + sn))));
  EXPECT_EQ(Op(frames[2]), TLV(0x68, Str("cn=B,o=K") + TLV(0x30, sn)));
  EXPECT_EQ(Op(frames[3]), Str("cn=B,o=K", 0x4A));
  EXPECT_EQ(Op(frames[4]),
            TLV(0x6C, Str("cn=B,o=K") + Str("cn=C") + Int(0, 0x01)));
}

TEST_F(ClientTest, NotConnected) {
  unsigned short port;
  close(LoopbackPeer::Bound(&port, -1));  // nothing listens there now
  LDAPClient dead("127.0.0.1", port);
  EXPECT_EQ(dead.state, LDAPClient::FAILED);
  EXPECT_EQ(dead.SimpleBind("a", "b"), LDAPClient::kServerDown);
  LDAPMod none[1];
  EXPECT_EQ(dead.Modify("a", none), LDAPClient::kServerDown);
  EXPECT_EQ(dead.Add("a", none), LDAPClient::kServerDown);
  EXPECT_EQ(dead.Delete("a"), LDAPClient::kServerDown);
  EXPECT_EQ(dead.ModRDN("a", "b"), LDAPClient::kServerDown);
  for (const char* op : {"SimpleBind", "Modify", "Add", "Delete", "ModRDN"}) {
    EXPECT_TRUE(console.Has(std::string("LDAPClient::") + op +
                            ": socket not connected"))
        << op;
  }
}

TEST_F(ClientTest, MessageIdsWrapAtTheSignBit) {
  Start([](int fd) { Drain(fd); }, false);
  client->tx_msg_id = 2147483646ul;
  EXPECT_EQ(client->NextTxId(), 2147483647ul);
  EXPECT_EQ(client->NextTxId(), 0ul);
  EXPECT_EQ(client->NextTxId(), 1ul);
}

TEST_F(ClientTest, ProxyIsToldTheDestination) {
  std::string preamble;
  peer.reset(new LoopbackPeer([&preamble](int fd) {
    ReadExactly(fd, preamble, 15);
    Drain(fd);
  }));
  client.reset(new LDAPClient("ldap.host", 4000, "127.0.0.1", peer->port()));
  EXPECT_EQ(client->state, LDAPClient::CONNECTED);
  Finish();
  EXPECT_EQ(preamble,
            "\x0e"
            "ldap.host:4000");
  // A destination that one octet cannot count is not announced.
  peer.reset(new LoopbackPeer([](int fd) { Drain(fd); }));
  client.reset(new LDAPClient(std::string(260, 'h').c_str(), 4000, "127.0.0.1",
                              peer->port()));
  EXPECT_EQ(client->state, LDAPClient::FAILED);
  EXPECT_TRUE(console.Has("LDAPClient: proxy destination too long"));
}

// A silent server: the search waits for the operation's limit (shortened
// here to half a second), no longer.
TEST_F(ClientTest, SilentPeerEndsTheSearchAfterTheWait) {
  OperationTimeout short_time(500);
  Start([](int fd) { Drain(fd); });
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(Search(), LDAPClient::kServerDown);
  EXPECT_GE(std::chrono::steady_clock::now() - start,
            std::chrono::milliseconds(450));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  // The connection is given up, so the next call does not wait again.
  EXPECT_EQ(Search(), LDAPClient::kServerDown);
}

}  // namespace
