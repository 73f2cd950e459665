// Directory sessions, row write-back and the session-variable helpers
// against a scripted directory reached through the sessions' relaying proxy.
#include "ldap/LDAPSession.h"

#include "cgiFramework/WebContext.h"
#include "gtest/gtest.h"
#include "ldap/LDAPSessionStore.h"
#include "tests/cgiFramework/WebTestSupport.h"
#include "tests/ldap/LDAPPeer.h"
#include "tests/network/CaptureConsole.h"
#include "tests/support/Thrown.h"

using namespace ldappeer;

namespace {

// A modify (`tag` 0x66) or add (0x68) request of entry `dn` with one
// replace, or one attribute, per "name=value".
std::string Update(unsigned char tag, const std::string& dn,
                   const std::vector<std::string>& values) {
  std::string list;
  for (const std::string& nv : values) {
    const size_t eq = nv.find('=');
    const std::string attr =
        TLV(0x30, Str(nv.substr(0, eq)) + TLV(0x31, Str(nv.substr(eq + 1))));
    list += tag == 0x66 ? TLV(0x30, Int(2, 0x0A) + attr) : attr;
  }
  return TLV(tag, Str(dn) + TLV(0x30, list));
}

LDAPRow Row(const std::vector<std::string>& fields) {
  LDAPRow row;
  for (const std::string& nv : fields) {
    const size_t eq = nv.find('=');
    row.fields.Append(
        new LDAPField(nv.substr(0, eq).c_str(), nv.substr(eq + 1).c_str()));
  }
  return row;
}

class SessionTest : public webtest::SiteFixture {
 protected:
  CaptureConsole console;
};

TEST_F(SessionTest, OpensWithDefaultsAndThrowsRefusals) {
  {
    ProxiedDirectory directory([](int fd) { Drain(fd); });
    LDAPSession session("", nullptr, nullptr, nullptr);
    EXPECT_EQ(session.res, 0);
    EXPECT_TRUE(session.created);
    EXPECT_EQ(session.ldap_client->state, LDAPClient::BOUND);
    session.Close();
    EXPECT_EQ(directory.preamble, "127.0.0.1:4000");
    EXPECT_EQ(Op(directory.frames[0]),
              TLV(0x60, Int(2) + Str("INTERNAL") +
                            Str(GetDefaultLDAPPassword(), 0x80)));
  }
  ProxiedDirectory refusing([](int fd) { Drain(fd); }, 49);
  const std::string user(3000, 'u');
  const std::string text =
      Thrown([&] { LDAPSession s("10.1.2.3", user.c_str(), "pw", nullptr); });
  EXPECT_EQ(refusing.preamble, "10.1.2.3:4000");
  EXPECT_EQ(text.size(), static_cast<size_t>(LDAPSession::kErrorSize - 1))
      << "cut to the buffer";
  EXPECT_EQ(
      text.rfind(
          "LDAPSession Failed to authenticate with server=10.1.2.3 user=uuu",
          0),
      0u);
  EXPECT_TRUE(console.Has("LDAPSession error " + text));
}

TEST_F(SessionTest, OpeningAgainLetsTheOwnClientGo) {
  std::string first_saw;
  {
    ProxiedDirectory first([&first_saw](int fd) {
      // What arrives until the client closes, or for two silent seconds.
      pollfd pfd{fd, POLLIN, 0};
      char chunk[256];
      ssize_t n;
      while (poll(&pfd, 1, 2000) == 1 &&
             (n = recv(fd, chunk, sizeof(chunk), 0)) > 0) {
        first_saw.append(chunk, static_cast<size_t>(n));
      }
    });
    LDAPSession s("", "cn=admin", "pw", nullptr);
    ProxiedDirectory second([](int fd) { Drain(fd); });
    s.Init(nullptr, "", "cn=admin", "pw");
    EXPECT_TRUE(s.created);
    EXPECT_EQ(s.ldap_client->state, LDAPClient::BOUND);
    s.Close();
  }
  EXPECT_EQ(first_saw, Raw("30 05 02 01 02 42 00"))
      << "the first client unbinds and closes";
}

TEST_F(SessionTest, ChildSessionsBorrowAndOnlyFlush) {
  ProxiedDirectory directory([&directory](int fd) {
    ReadFrame(fd);
    Send(fd, Msg(2, Entry("cn=A", {{"cn", {"A"}}})) +
                 Msg(2, Entry("cn=B", {{"cn", {"B"}}})) +
                 Msg(2, Result(0x65, 0)));
    ReadFrame(fd);
    Send(fd, Msg(100, Result(0x65, 0)));  // unmatched
    Drain(fd);
  });
  LDAPSession parent("", "cn=admin", "pw", nullptr);
  ASSERT_EQ(parent.Search("", 2, "(cn=*)", nullptr, 0, 0, 0, 0), 0);
  {
    LDAPSession child(&parent);
    EXPECT_EQ(child.ldap_client, parent.ldap_client);
    EXPECT_FALSE(child.created);
    EXPECT_STREQ(child.ldap_password, "pw");
    LDAPSession same(&parent, "", "cn=admin", "pw");
    EXPECT_EQ(same.ldap_client, parent.ldap_client);
  }
  // Another name or password needs a connection of its own, which the
  // scripted directory never answers.
  const struct {
    const char* user;
    const char* password;
  } others[] = {
      {"cn=admin", "other"}, {"cn=other", "pw"}, {"cn=admin", nullptr}};
  OperationTimeout short_time(200);
  for (const auto& o : others) {
    EXPECT_EQ(Thrown([&] {
                LDAPSession s(&parent, "", o.user, o.password);
              }).rfind("LDAPSession Failed to authenticate", 0),
              0u)
        << o.user << " " << (o.password ? o.password : "(null)");
  }
  EXPECT_STREQ(parent.CurrentObject(), "")
      << "the children's end discarded the search";
  // An answer that matches no request closes the session.
  EXPECT_EQ(parent.Search("", 2, "(cn=*)", nullptr, 0, 0, 0, 0), -1);
  EXPECT_EQ(parent.ldap_client, nullptr);

  LDAPSession orphan(&parent);
  int code = 0;
  char* a = nullptr;
  char* v = nullptr;
  LDAPMod none[1];
  EXPECT_EQ(orphan.Search("", 2, "(cn=*)", nullptr, 0, 0, 0, 0), -1);
  EXPECT_EQ(orphan.GetNextEntry(code), -1);
  EXPECT_EQ(orphan.FirstAttribute(a, v), 0);
  EXPECT_EQ(orphan.Modify("a", none) + orphan.ModRDN("a", "b") +
                orphan.Add("a", none) + orphan.Delete("a"),
            -4);
  EXPECT_STREQ(orphan.CurrentObject(), "");
  LDAPRow row = Row({"dn=cn=a", "sn=x"});
  EXPECT_EQ(row.Modify(orphan) + row.Add(orphan) + row.Delete(orphan) +
                row.ModifyCN(orphan),
            -4);
  EXPECT_EQ(row.Fetch(orphan), 0);
  EXPECT_EQ(row.fields.Size(), 2);
}

TEST_F(SessionTest, RowWriteBackChoosesAttributesAndAddresses) {
  ProxiedDirectory directory([&directory](int fd) {
    for (int code : {0, 50}) Answer(fd, directory.frames, 0x67, code);
    Answer(fd, directory.frames, 0x69);
    Answer(fd, directory.frames, 0x6B);
    Answer(fd, directory.frames, 0x6D);
    Answer(fd, directory.frames, 0x6D);
    Drain(fd);
  });
  LDAPSession s("", "cn=admin", "pw", nullptr);
  // Nothing left to write: no request at all.
  LDAPRow none = Row(
      {"dn=cn=A,o=K", "GUID=g1", "cn=A", "objectclass=top", "sn=S", "_sn=1"});
  EXPECT_EQ(none.Modify(s), 0);

  LDAPRow row = Row({"dn=cn=A,o=K", "GUID=g1", "cn=A", "objectClass=person",
                     "sn=S", "_x=1", "x=2", "mine=3", "mail=m"});
  row.Get("mine").local = true;
  EXPECT_EQ(row.Modify(s), 0);
  // "guid" does not address the entry, but is not written either.
  EXPECT_EQ(Row({"dn=cn=B,o=K", "guid=g2", "sn=T"}).Modify(s), 50);
  EXPECT_EQ(s.res, 50);
  EXPECT_EQ(row.Add(s), 0);
  EXPECT_EQ(s.res, 0);
  EXPECT_EQ(row.Delete(s), 0);
  row.Field("GUID", "a,b+c");
  row.Field("cn", "New, Name");
  EXPECT_EQ(row.ModifyCN(s), 0);
  EXPECT_EQ(Row({"dn=cn=C,o=K", "cn=D"}).ModifyCN(s), 0);
  // Rows without a name send nothing.
  EXPECT_EQ(Row({"sn=x"}).Modify(s) + Row({"sn=x"}).Delete(s) +
                Row({"sn=x"}).ModifyCN(s),
            0);
  EXPECT_EQ(Row({"dn=", "sn=x"}).Add(s), 0);
  s.Close();

  const std::vector<std::string>& f = directory.frames;
  ASSERT_EQ(f.size(), 7u);
  EXPECT_EQ(Op(f[1]), Update(0x66, "GUID=g1", {"sn=S", "mail=m"}));
  EXPECT_EQ(Op(f[2]), Update(0x66, "cn=B,o=K", {"sn=T"}));
  EXPECT_EQ(Op(f[3]),
            Update(0x68, "cn=A,o=K", {"objectClass=person", "sn=S", "mail=m"}));
  EXPECT_EQ(Op(f[4]), Str("GUID=g1", 0x4A));
  EXPECT_EQ(Op(f[5]), TLV(0x6C, Str("GUID=a\\,b\\+c") + Str("cn=New\\, Name") +
                                    Int(0, 0x01)));
  EXPECT_EQ(Op(f[6]), TLV(0x6C, Str("cn=C,o=K") + Str("cn=D") + Int(0, 0x01)));
}

TEST_F(SessionTest, FetchingRowsAndTables) {
  ProxiedDirectory directory([&directory](int fd) {
    const std::string a =
        Msg(2, Entry("cn=A", {{"tel", {"1", "2"}}, {"sn", {"S"}}}));
    ReadFrame(fd);
    Send(fd, a + Msg(2, Entry("cn=B", {{"cn", {"B"}}})) + a +
                 Msg(2, Result(0x65, 0)));
    Answer(fd, directory.frames, 0x67);
    Answer(fd, directory.frames, 0x67);
    ReadFrame(fd);
    Send(fd,
         Msg(5, Entry("cn=C", {{"cn", {"C"}}})) + Msg(5, Entry("cn=bare", {})) +
             Msg(5, Entry("cn=D", {{"cn", {"D"}}})) + Msg(5, Result(0x65, 0)));
    Drain(fd);
  });
  LDAPSession s("", "cn=admin", "pw", nullptr);
  ASSERT_EQ(s.Search("", 2, "(cn=*)", nullptr, 0, 0, 0, 0), 0);
  LDAPRow row;
  EXPECT_EQ(row.Fetch(s), 0);
  EXPECT_STREQ(row["dn"].value, "cn=A");
  EXPECT_STREQ(row["tel"].value, "1");
  LDAPTable t;
  t.Fetch(s, false, true);  // from the current entry: A, B, A again (skipped)
  ASSERT_EQ(t.GetRowCount(), 2);
  EXPECT_STREQ(t[0]["dn"].value, "cn=B");
  EXPECT_STREQ(s.CurrentObject(), "");

  // A value that stands for several is written back only when changed.
  EXPECT_EQ(row.Modify(s), 0);
  row.Field("tel", "3");
  EXPECT_EQ(row.Modify(s), 0);
  EXPECT_EQ(Op(directory.frames[1]), Update(0x66, "cn=A", {"sn=S"}));
  EXPECT_EQ(Op(directory.frames[2]), Update(0x66, "cn=A", {"tel=3", "sn=S"}));

  // An entry without attributes is a row of its name alone; what follows it
  // is read too.
  ASSERT_EQ(s.Search("", 2, "(cn=*)", nullptr, 0, 0, 0, 0), 0);
  t.Fetch(s, true, false);
  ASSERT_EQ(t.GetRowCount(), 5);
  EXPECT_STREQ(t[3]["dn"].value, "cn=bare");
  EXPECT_EQ(t[3].fields.Size(), 1);
  EXPECT_STREQ(t[4]["dn"].value, "cn=D");
  EXPECT_STREQ(s.CurrentObject(), "");
}

TEST_F(SessionTest, FetchEndsAtItsLimit) {
  const int n = LDAPTable::kMaxFetchedRows + 5;
  ProxiedDirectory directory([n](int fd) {
    ReadFrame(fd);
    std::string all;
    for (int i = 0; i < n; ++i) {
      all += Msg(2, Entry("cn=" + std::to_string(i), {{"sn", {"x"}}}));
    }
    Send(fd, all + Msg(2, Result(0x65, 0)));
    Drain(fd);
  });
  LDAPSession s("", "cn=admin", "pw", nullptr);
  ASSERT_EQ(s.Search("", 2, "(sn=*)", nullptr, 0, 0, 0, 0), 0);
  LDAPTable t;
  t.Fetch(s, true, false);
  EXPECT_EQ(t.GetRowCount(), LDAPTable::kMaxFetchedRows);
  EXPECT_TRUE(
      console.Has("LDAPTable: more than 10000 entries, the rest "
                  "discarded"));
  EXPECT_EQ(s.ldap_client->result, nullptr) << "the rest was read";
}

TEST_F(SessionTest, RowsAndTablesKeptInSessionVariables) {
  WebContext context(Config(""), nullptr);
  context.SetWebSessionVar("user.stale", "gone");
  context.SetWebSessionVar("other", "kept");
  LDAPRow row = Row({"dn=cn=A,o=K", "sn=x=y"});
  SaveSession(context, row, "user.");
  EXPECT_FALSE(context.HasWebSessionVar("user.stale"));
  EXPECT_STREQ(context.GetWebSessionVar("user.sn"), "x=y");
  EXPECT_STREQ(context.GetWebSessionVar("other"), "kept");
  LDAPRow loaded;
  LoadSession(context, loaded, "user.");
  EXPECT_EQ(loaded.fields.Size(), 2);
  EXPECT_STREQ(loaded["dn"].value, "cn=A,o=K");

  LDAPTable table;
  for (const char* cn : {"A", "B", "C"})
    table += Row({std::string("cn=") + cn});
  context.SetWebSessionVar("users9.cn", "old");
  context.SetWebSessionVar("usersettings", "kept");
  context.SetWebSessionVar("users.x", "kept");
  SaveSession(context, table, "users");
  EXPECT_FALSE(context.HasWebSessionVar("users9.cn"));
  EXPECT_STREQ(context.GetWebSessionVar("usersettings"), "kept");
  EXPECT_STREQ(context.GetWebSessionVar("users.x"), "kept");
  EXPECT_STREQ(context.GetWebSessionVar("users2.cn"), "C");
  context.SetWebSessionVar("users4.cn", "E");
  LDAPTable back;
  LoadSession(context, back, "users");
  EXPECT_EQ(back.GetRowCount(), 3)
      << "up to the first row number without variables";
}

TEST_F(SessionTest, EntryHelpersThrowOnFailure) {
  ProxiedDirectory directory([&directory](int fd) {
    for (int code : {0, 32}) Answer(fd, directory.frames, 0x6B, code);
    Answer(fd, directory.frames, 0x67);      // update, same cn: no rename
    Answer(fd, directory.frames, 0x67);      // update
    Answer(fd, directory.frames, 0x6D);      // rename
    Answer(fd, directory.frames, 0x67, 32);  // update refused
    Answer(fd, directory.frames, 0x67);      // update
    Answer(fd, directory.frames, 0x6D, 68);  // rename refused
    Drain(fd);
  });
  WebContext context(Config(""), nullptr);
  LDAPSession s("", "cn=admin", "pw", nullptr);
  EXPECT_EQ(Thrown([&] { Delete(&s, "cn=%s,o=K", "A"); }), "");
  EXPECT_EQ(Thrown([&] { Delete(&s, "cn=B"); }),
            "Failed to delete object on server");
  EXPECT_EQ(Thrown([] { Delete(nullptr, "cn=C"); }),
            "Failed to delete object on server");

  context.SetWebSessionVar("u.cn", "Old, Name");
  context.SetWebSessionVar("u.sn", "Smith");
  EXPECT_EQ(
      Thrown([&] { Modify(context, &s, "u.", "cn=%s,o=K", "Old\\, Name"); }),
      "");
  context.SetWebSessionVar("u.cn", "New");
  context.SetWebSessionVar("u.GUID", "g1");
  EXPECT_EQ(Thrown([&] { Modify(context, &s, "u.", "cn=Old,o=K"); }), "");
  EXPECT_EQ(Thrown([&] { Modify(context, &s, "u.", "cn=Old,o=K"); }),
            "Failed to update object on server");
  EXPECT_EQ(Thrown([&] { Modify(context, &s, "u.", "cn=Old,o=K"); }),
            "Failed to rename object on server");
  EXPECT_EQ(Thrown([&] { Modify(context, nullptr, "u.", "cn=Old,o=K"); }),
            "Failed to update object on server");
  s.Close();
  const std::vector<std::string>& f = directory.frames;
  ASSERT_EQ(f.size(), 9u);
  EXPECT_EQ(Op(f[1]), Str("cn=A,o=K", 0x4A));
  EXPECT_EQ(Op(f[3]), Update(0x66, "cn=Old\\, Name,o=K", {"sn=Smith"}));
  EXPECT_EQ(Op(f[4]), Update(0x66, "GUID=g1", {"sn=Smith"}));
  EXPECT_EQ(Op(f[5]), TLV(0x6C, Str("GUID=g1") + Str("cn=New") + Int(0, 0x01)));
}

}  // namespace
