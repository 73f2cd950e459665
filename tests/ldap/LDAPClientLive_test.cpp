// The directory client against the real slapd of the test fixture: binds,
// searches of every filter kind, the size limit, attributes, and update
// round trips read back with ldapsearch.
#include "ldap/LDAPClient.h"

#include <memory>

#include "common/UString.h"
#include "gtest/gtest.h"
#include "tests/ldap/LiveDirectory.h"
#include "tests/network/CaptureConsole.h"

namespace {

class ClientLive : public ::testing::Test {
 protected:
  void SetUp() override {
    client.reset(new LDAPClient("127.0.0.1", 4000));
    ASSERT_EQ(client->state, LDAPClient::CONNECTED)
        << "is the fixture's slapd running?";
  }
  int BindAdmin() {
    return client->SimpleBind(live::AdminDN().c_str(),
                              live::AdminPassword().c_str());
  }
  // How many entries a whole-directory search for `filter` returns; the
  // search's final code goes to `*code`.
  size_t Count(const char* filter, int* code, int sizelimit = 0) {
    size_t n = 0;
    *code = client->Search("", 2, filter, nullptr, 0, sizelimit, 0, 0);
    for (int more = *code == 0 && client->CurrentObject() != nullptr; more;
         more = client->GetNextEntry(*code, 0)) {
      ++n;
    }
    return n;
  }
  // The current entry's pairs as "name=value;" texts.
  std::string Pairs() {
    std::string out;
    char* a = nullptr;
    char* v = nullptr;
    for (int more = client->FirstAttribute(a, v); more;
         more = client->NextAttribute(a, v)) {
      out += std::string(a) + "=" + v + ";";
    }
    return out;
  }

  CaptureConsole console;
  std::unique_ptr<LDAPClient> client;
};

TEST_F(ClientLive, Binds) {
  // "INTERNAL", the default bind name, is not a distinguished name.
  EXPECT_EQ(client->SimpleBind("INTERNAL", "x"), 34);
  EXPECT_EQ(client->SimpleBind(live::AdminDN().c_str(), "wrong"), 49);
  EXPECT_EQ(client->state, LDAPClient::CONNECTED);
  EXPECT_EQ(client->Search("", 2, "(cn=*)", nullptr, 0, 0, 0, 0),
            LDAPClient::kNotBound);
  EXPECT_EQ(client->SimpleBind(("cn=Alice Archer," + live::Users()).c_str(),
                               "alicepw"),
            0);
  EXPECT_EQ(client->state, LDAPClient::BOUND);
  const size_t log = live::LogSize();
  client.reset();
  EXPECT_TRUE(live::LogHas(log, "UNBIND"));
}

TEST_F(ClientLive, SearchesOfEveryFilterKind) {
  ASSERT_EQ(BindAdmin(), 0);
  const std::pair<const char*, size_t> cases[] = {
      {"(GlobalTelephoneNumber=9999)", 0},
      {"(GlobalTelephoneNumber=2001)", 1},
      {"(GlobalTelephoneNumber=2003)", 2},
      {"(objectClass=*)", 9},
      {"(&(objectClass=inetOrgPerson)(GlobalTelephoneNumber=2003))", 2},
      {"(|(GlobalTelephoneNumber=2001)(GlobalTelephoneNumber=2002)(cn="
       "Reception))",
       3},
      {"(&(objectClass=telephonySystemUser)(!(guid=*)))", 1},
      {"(cn=*Archer)", 1},
      {"(sn=B*r)", 1},
      {"(cn=*a*e*)", 3},
      {"(cn=Zo\\c3\\ab Zimmer)", 1},
      {"(createTimestamp>=20000101000000Z)", 9},
      {"(createTimestamp<=20000101000000Z)", 0},
  };
  for (const auto& c : cases) {
    int code = -1;
    EXPECT_EQ(Count(c.first, &code), c.second) << c.first;
    EXPECT_EQ(code, 0) << c.first;
  }
  // The size limit ends a search with its own code.
  int code = -1;
  EXPECT_EQ(Count("(objectClass=inetOrgPerson)", &code, 2), 2u);
  EXPECT_EQ(code, 4);
  // A value escaped from outside input reaches the server as a value.
  const size_t log = live::LogSize();
  UString value;
  value.SlashHex("*)(cn=*");
  const std::string injected =
      "(cn=" + std::string(static_cast<char*>(value)) + ")";
  EXPECT_EQ(Count(injected.c_str(), &code), 0u);
  EXPECT_TRUE(live::LogHas(log, "filter=\"(cn=\\2A\\29\\28cn=\\2A)\""));
}

TEST_F(ClientLive, AttributesOfEntries) {
  ASSERT_EQ(BindAdmin(), 0);
  // The server spells the names as its schema does.
  const char* attrs[] = {"cn", "mail", "GUID", "globaltelephonenumber",
                         nullptr};
  ASSERT_EQ(
      client->Search("", 2, "(GlobalTelephoneNumber=2001)", attrs, 0, 0, 0, 0),
      0);
  EXPECT_EQ(
      Pairs(),
      "cn=Alice Archer;mail=alice@korvelund.example;GlobalTelephoneNumber=2001;"
      "guid=00000000-0000-4000-8000-000000002001;");
  // A search abandoned half-read is discarded by the next one. Two numbers
  // on one entry: the first is kept and the next attribute still read.
  ASSERT_EQ(client->Search("", 2, "(cn=Erin Evans)", attrs, 0, 0, 0, 0), 0);
  EXPECT_TRUE(console.Has("LDAPSearchRes_rx: msg format error 2"));
  EXPECT_EQ(Pairs(),
            "cn=Erin Evans;GlobalTelephoneNumber=2004;"
            "guid=00000000-0000-4000-8000-000000002005;");
  ASSERT_EQ(client->Search("", 2, "(cn=Bob Baker)", attrs, 1, 0, 0, 0), 0);
  EXPECT_EQ(Pairs(), "cn=;GlobalTelephoneNumber=;guid=;") << "names only";
}

TEST_F(ClientLive, UpdateRoundTrips) {
  ASSERT_EQ(BindAdmin(), 0);
  const std::string dn = "cn=ldap2 Client," + live::Users();
  const std::string renamed = "cn=ldap2 Renamed," + live::Users();
  const char* classes[] = {"inetOrgPerson", "telephonySystemUser", nullptr};
  const char* numbers[] = {"7001", "7002", nullptr};
  char plain[] = "via berval";
  berval bv{sizeof(plain) - 1, plain};
  berval* bvals[] = {&bv, nullptr};
  LDAPMod attrs[6];
  attrs[0].mod_type = const_cast<char*>("objectClass");
  attrs[0].mod_vals.modv_strvals = const_cast<char**>(classes);
  attrs[1].Set("cn", "ldap2 Client");
  attrs[2].Set("sn", "Client");
  attrs[3].mod_type = const_cast<char*>("GlobalTelephoneNumber");
  attrs[3].mod_vals.modv_strvals = const_cast<char**>(numbers);
  attrs[4].mod_type = const_cast<char*>("description");
  attrs[4].mod_op = LDAPMod::kBinaryValues;
  attrs[4].mod_vals.modv_bvals = bvals;
  ASSERT_EQ(client->Add(dn.c_str(), attrs), 0);
  std::string found = live::LdapSearch(dn, "(objectClass=*)",
                                       "GlobalTelephoneNumber description");
  EXPECT_NE(found.find("GlobalTelephoneNumber: 7002\n"), std::string::npos)
      << found;
  EXPECT_NE(found.find("description: via berval\n"), std::string::npos)
      << found;
  EXPECT_EQ(client->Add(dn.c_str(), attrs), 68);
  EXPECT_TRUE(console.Has("LDAP Add: result=68"));

  LDAPMod mods[4];
  mods[0].Set("sn", "Changed");
  mods[1].Set("mail", "client@korvelund.example");
  mods[1].mod_op = 0;
  const char* no_values[] = {nullptr};
  mods[2].mod_type = const_cast<char*>("GlobalTelephoneNumber");
  mods[2].mod_op = 1;
  mods[2].mod_vals.modv_strvals = const_cast<char**>(no_values);
  ASSERT_EQ(client->Modify(dn.c_str(), mods), 0);
  found =
      live::LdapSearch(dn, "(objectClass=*)", "sn mail GlobalTelephoneNumber");
  EXPECT_NE(found.find("sn: Changed\n"), std::string::npos) << found;
  EXPECT_NE(found.find("mail: client@korvelund.example\n"), std::string::npos)
      << found;
  EXPECT_EQ(found.find("GlobalTelephoneNumber"), std::string::npos) << found;

  ASSERT_EQ(client->ModRDN(dn.c_str(), "cn=ldap2 Renamed"), 0);
  found = live::LdapSearch(renamed, "(objectClass=*)", "cn");
  EXPECT_NE(found.find("cn: ldap2 Renamed\n"), std::string::npos) << found;
  EXPECT_NE(found.find("cn: ldap2 Client\n"), std::string::npos)
      << "old name kept: " << found;

  EXPECT_EQ(client->Delete(dn.c_str()), 32);
  EXPECT_TRUE(console.Has("LDAP Delete: result=32"));
  ASSERT_EQ(client->Delete(renamed.c_str()), 0);
  int status = 0;
  live::LdapSearch(renamed, "(objectClass=*)", "", &status);
  EXPECT_EQ(status, 32) << "no such object";
}

}  // namespace
