// Checks that the test servers hold what the live tests rely on: the
// directory answers version-2 binds and empty-base searches with the seeded
// users, the portal database answers the portal context's statements with
// the seeded settings through the [SQLSession] option group, and the web
// server runs the program with basic auth.

#include <mysql.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "gtest/gtest.h"

namespace {

// The value of environment variable `name`; fails the test when unset.
std::string Env(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr) {
    ADD_FAILURE() << name << " is not set: run this test through ctest";
    return "";
  }
  return value;
}

struct CommandResult {
  int status;          // exit status, -1 when the command did not run
  std::string output;  // standard output
};

CommandResult Run(const std::string& command) {
  CommandResult result{-1, ""};
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return result;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, pipe)) > 0)
    result.output.append(buf, n);
  int status = pclose(pipe);
  if (status != -1 && WIFEXITED(status)) result.status = WEXITSTATUS(status);
  return result;
}

std::string Quote(const std::string& s) {
  std::string quoted = "'";
  for (char c : s)
    quoted += (c == '\'') ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// ---------------------------------------------------------------- directory

// A search of the directory at `uri` (default: the one the program has
// always needed) with an empty base.
std::string LdapSearch(const std::string& options, const std::string& filter,
                       const std::string& attrs, int* status,
                       std::string uri = Env("VXML_LDAP_URI")) {
  CommandResult r =
      Run("ldapsearch -x -LLL -o ldif-wrap=no -H " + Quote(uri) + " -b '' " +
          options + " " + Quote(filter) + " " + attrs + " 2>&1");
  *status = r.status;
  return r.output;
}

std::string AdminBind(int version) {
  return "-P " + std::to_string(version) + " -D " +
         Quote(Env("VXML_LDAP_ADMIN_DN")) + " -w " +
         Quote(Env("VXML_LDAP_ADMIN_PASSWORD"));
}

TEST(DirectoryServer, EmptyBaseSubtreeSearchFindsEveryEntrySharingANumber) {
  int status;
  std::string out = LdapSearch(AdminBind(2), "(GlobalTelephoneNumber=2003)",
                               "cn guid", &status);
  EXPECT_EQ(0, status) << out;
  EXPECT_NE(std::string::npos,
            out.find("dn: cn=Carol Clark,ou=Users,o=Korvelund\n"))
      << out;
  EXPECT_NE(std::string::npos,
            out.find("dn: cn=Dave Dunn,ou=Users,o=Korvelund\n"))
      << out;
  EXPECT_NE(std::string::npos,
            out.find("guid: 00000000-0000-4000-8000-000000002003\n"))
      << out;
  EXPECT_NE(std::string::npos,
            out.find("guid: 00000000-0000-4000-8000-000000002004\n"))
      << out;
}

TEST(DirectoryServer, AnswersWithTheSchemaSpellingOfAttributeNames) {
  int status;
  std::string out =
      LdapSearch("", "(globaltelephonenumber=2001)", "CN GUID", &status);
  EXPECT_EQ(0, status) << out;
  EXPECT_NE(std::string::npos, out.find("\ncn: Alice Archer\n")) << out;
  EXPECT_NE(std::string::npos,
            out.find("\nguid: 00000000-0000-4000-8000-000000002001\n"))
      << out;
}

TEST(DirectoryServer, SeedHoldsUsersWithoutGuidWithTwoNumbersAndWithUtf8Names) {
  int status;
  std::string out =
      LdapSearch("", "(GlobalTelephoneNumber=2000)", "guid", &status);
  EXPECT_NE(std::string::npos,
            out.find("dn: cn=Reception,ou=Users,o=Korvelund\n"))
      << out;
  EXPECT_EQ(std::string::npos, out.find("guid:")) << out;
  out = LdapSearch("", "(GlobalTelephoneNumber=2005)", "GlobalTelephoneNumber",
                   &status);
  EXPECT_NE(std::string::npos, out.find("GlobalTelephoneNumber: 2004\n"))
      << out;
  EXPECT_NE(std::string::npos, out.find("GlobalTelephoneNumber: 2005\n"))
      << out;
  // "Zoë Zimmer" in UTF-8, shown base64-encoded by ldapsearch.
  out = LdapSearch("", "(GlobalTelephoneNumber=2006)", "cn", &status);
  EXPECT_NE(std::string::npos, out.find("cn:: Wm/DqyBaaW1tZXI=\n")) << out;
}

TEST(DirectoryServer, RefusesAWrongPasswordWithInvalidCredentials) {
  int status;
  std::string out =
      LdapSearch("-P 2 -D " + Quote(Env("VXML_LDAP_ADMIN_DN")) + " -w wrong",
                 "(cn=*)", "cn", &status);
  EXPECT_EQ(49, status) << out;
}

TEST(StockDirectoryServer, RefusesVersion2AndEmptyBaseSearchesLikeDebian) {
  const std::string uri = "ldap://" + Env("VXML_STOCK_LDAP_HOST") + ":4000/";
  int status;
  std::string out = LdapSearch(AdminBind(2), "(cn=*)", "cn", &status, uri);
  EXPECT_EQ(2, status) << out;  // protocolError
  out = LdapSearch(AdminBind(3), "(GlobalTelephoneNumber=2001)", "cn", &status,
                   uri);
  EXPECT_EQ(32, status) << out;  // noSuchObject: no default search base
  out = LdapSearch(AdminBind(3) + " -b " + Quote(Env("VXML_STOCK_LDAP_BASE")),
                   "(GlobalTelephoneNumber=2001)", "cn", &status, uri);
  EXPECT_EQ(0, status) << out;
  EXPECT_NE(std::string::npos, out.find("cn: Alice Archer")) << out;
}

TEST(DirectoryServer, LogRecordsEverySearchFilterAsSent) {
  int status;
  LdapSearch("", "(GlobalTelephoneNumber=99\\2a)", "cn", &status);
  EXPECT_EQ(0, status);
  std::string log = ReadFile(Env("VXML_LDAP_LOG"));
  EXPECT_NE(std::string::npos,
            log.find("filter=\"(GlobalTelephoneNumber=99\\2A)\""))
      << log;
}

// ----------------------------------------------------------------- database

using Connection = std::unique_ptr<MYSQL, decltype(&mysql_close)>;

// Connects the way the program does: host, user, password and database from
// the settings file, port and socket left to the option group "SQLSession".
Connection Connect() {
  Connection db(mysql_init(nullptr), &mysql_close);
  mysql_options(db.get(), MYSQL_READ_DEFAULT_GROUP, "SQLSession");
  if (mysql_real_connect(
          db.get(), Env("VXML_SQL_HOST").c_str(), Env("VXML_SQL_USER").c_str(),
          Env("VXML_SQL_PASSWORD").c_str(), Env("VXML_SQL_DB").c_str(), 0,
          nullptr, 0) == nullptr) {
    ADD_FAILURE() << "connect: " << mysql_error(db.get());
    db.reset();
  }
  return db;
}

using Row = std::vector<std::string>;  // NULL reads as "NULL"

struct Result {
  std::vector<std::string> columns;
  std::vector<Row> rows;
};

Result Query(MYSQL* db, const std::string& sql) {
  Result result;
  if (mysql_real_query(db, sql.c_str(), sql.size()) != 0) {
    ADD_FAILURE() << sql << ": " << mysql_error(db);
    return result;
  }
  MYSQL_RES* res = mysql_store_result(db);
  if (res == nullptr) return result;
  unsigned n = mysql_num_fields(res);
  MYSQL_FIELD* fields = mysql_fetch_fields(res);
  for (unsigned i = 0; i < n; i++) result.columns.push_back(fields[i].name);
  while (MYSQL_ROW row = mysql_fetch_row(res)) {
    Row r;
    for (unsigned i = 0; i < n; i++)
      r.push_back(row[i] != nullptr ? row[i] : "NULL");
    result.rows.push_back(r);
  }
  mysql_free_result(res);
  return result;
}

// The portal context's settings statement for a web user of portal "Lumera".
std::string SettingsQuery(const std::string& user) {
  const char* format =
      "SELECT users.customerId, contactid ,VirtualCallServer.primaryLDAPServer,"
      "VirtualCallServer.primaryLDAPUser, "
      "VirtualCallServer.primaryLDAPPassword,"
      "VirtualCallServer.voicemailFTPPassword,VirtualCallServer.HostName, "
      "ThemeId,CustomerType,"
      "emailsourceaddr,CustomerName, cca.attribvalue as TimeZone, '%s' as "
      "AuthName,"
      "'%s' as ServerName, ca.attribvalue as Currency FROM VirtualHost INNER "
      "JOIN "
      "VirtualCallServer on VirtualHost.VirtualCallServerid = "
      "VirtualCallServer.id INNER JOIN "
      "( select CustomerContact.id as contactid,Customer.id as "
      "customerId,SubscriberId,ThemeId,"
      "CustomerType,CustomerName FROM CustomerContact INNER JOIN Customer on "
      "CustomerContact.customerid = Customer.id where username = '%s' ) as "
      "users on "
      "users.customerid = VirtualCallServer.customerid or users.SubscriberId = "
      "VirtualCallServer.customerid  LEFT JOIN CustomerContactAttrib as cca on "
      "cca.userid=contactid AND cca.attribname='timezone' LEFT JOIN "
      "CustomerAttribute as ca on "
      "ca.customerid=users.customerid AND ca.attribname='currency'WHERE "
      "serverName = '%s'";
  char sql[2048];
  snprintf(sql, sizeof sql, format, user.c_str(), "Lumera", user.c_str(),
           "Lumera");
  return sql;
}

TEST(DatabaseServer, OptionGroupLeadsTheProgramToThePrivateServer) {
  Connection db = Connect();
  ASSERT_TRUE(db);
  Result r = Query(db.get(), "SELECT @@port");
  ASSERT_EQ(1u, r.rows.size());
  EXPECT_EQ(Env("VXML_SQL_PORT"), r.rows[0][0]);
}

TEST(DatabaseServer, SettingsOfAUserWithEverySetting) {
  Connection db = Connect();
  ASSERT_TRUE(db);
  Result r = Query(db.get(), SettingsQuery("alice"));
  EXPECT_EQ(
      (std::vector<std::string>{
          "customerId", "contactid", "primaryLDAPServer", "primaryLDAPUser",
          "primaryLDAPPassword", "voicemailFTPPassword", "HostName", "ThemeId",
          "CustomerType", "emailsourceaddr", "CustomerName", "TimeZone",
          "AuthName", "ServerName", "Currency"}),
      r.columns);
  ASSERT_EQ(1u, r.rows.size());
  EXPECT_EQ(
      (Row{"10", "100", "127.0.0.1", "cn=admin,o=Korvelund", "adminsecret",
           "ftpsecret", "callserver1", "2", "0", "korvelund.example",
           "Archer Plumbing", "Europe/London", "alice", "Lumera", "$"}),
      r.rows[0]);
}

TEST(DatabaseServer, SettingsWithNullContactCurrencyAndTimeZoneOrNoneAtAll) {
  Connection db = Connect();
  ASSERT_TRUE(db);
  Result bob = Query(db.get(), SettingsQuery("bob"));
  ASSERT_EQ(1u, bob.rows.size());
  EXPECT_EQ("20", bob.rows[0][0]);
  EXPECT_EQ("NULL", bob.rows[0][1]);
  EXPECT_EQ("NULL", bob.rows[0][11]);
  EXPECT_EQ("NULL", bob.rows[0][14]);
  Result sam = Query(db.get(), SettingsQuery("sam"));
  ASSERT_EQ(1u, sam.rows.size());
  EXPECT_EQ("1", sam.rows[0][8]);  // a subscriber
  EXPECT_EQ("NULL", sam.rows[0][14]);
  EXPECT_TRUE(Query(db.get(), SettingsQuery("carol")).rows.empty());
  EXPECT_TRUE(Query(db.get(), SettingsQuery("nobody")).rows.empty());
}

TEST(DatabaseServer, RightsAttributesAndSearchGroups) {
  Connection db = Connect();
  ASSERT_TRUE(db);
  const char* rights =
      "SELECT rightid FROM CustomerUserRight WHERE customerid = '%d' and guid "
      "= '%d' ";
  char sql[512];
  snprintf(sql, sizeof sql, rights, 10, 100);
  EXPECT_EQ((std::vector<Row>{{"3"}, {"7"}}), Query(db.get(), sql).rows);
  snprintf(sql, sizeof sql, rights, 20, 0);
  EXPECT_TRUE(Query(db.get(), sql).rows.empty());

  Result all = Query(
      db.get(),
      "select rightsid from CustomerRights where customerid = '10'union SELECT "
      "rightid FROM CustomerUserRight WHERE customerid = '10' and guid = "
      "'100' ");
  std::set<std::string> ids;
  for (const Row& row : all.rows) ids.insert(row[0]);
  EXPECT_EQ((std::set<std::string>{"3", "5", "7"}), ids);

  for (const char* name : {"reportmask", "superqueue", "administrator"}) {
    snprintf(sql, sizeof sql,
             "SELECT attribvalue FROM CustomerContactAttrib WHERE attribname = "
             "'%s' AND "
             "userId = '100' ",
             name);
    EXPECT_EQ(1u, Query(db.get(), sql).rows.size()) << name;
  }
  EXPECT_EQ(1u,
            Query(db.get(),
                  "SELECT * FROM CallLogPermissions WHERE contactid='100' and "
                  "customerid='10' and queue='1' ")
                .rows.size());
  EXPECT_EQ((std::vector<Row>{{"1"}, {"10"}, {"20"}}),
            Query(db.get(),
                  "SELECT id FROM Customer WHERE (id in (1,0) or (subscriberid "
                  "in (1,0) and "
                  "subscriberId != 0)) and id != 0 ORDER BY id")
                .rows);
}

TEST(DatabaseServer, KnowsNamedTimeZones) {
  Connection db = Connect();
  ASSERT_TRUE(db);
  Query(db.get(), "SET time_zone = 'Europe/London'");
  Result r = Query(db.get(), "SELECT @@session.time_zone");
  ASSERT_EQ(1u, r.rows.size());
  EXPECT_EQ("Europe/London", r.rows[0][0]);
}

// ------------------------------------------------------- settings and files

TEST(SiteTree, HoldsSettingsSessionsPipesAndTheVoicemailArchive) {
  std::string root = Env("VXML_ROOT");
  std::string cfg = ReadFile(root + "/Korvelund/config/Lumera.cfg");
  for (const char* line :
       {"serverAddress=127.0.0.1\n", "user=portal\n", "password=portalpw\n",
        "db=portal\n", "ldapserver=127.0.0.1\n",
        "ldapuser=cn=admin,o=Korvelund\n", "ldappassword=adminsecret\n"}) {
    EXPECT_NE(std::string::npos, cfg.find(line)) << line;
  }
  struct stat st;
  EXPECT_EQ(0, stat((root + "/Korvelund/sessions").c_str(), &st));
  EXPECT_EQ(0, stat((root + "/Korvelund/fifos").c_str(), &st));

  std::string archive =
      root + "/hosts/callserver1/Korvelund/Mailbox/Archive/2005/";
  std::string wav = ReadFile(archive + "msg1.wav");
  ASSERT_EQ(2044u, wav.size());
  EXPECT_EQ(0, wav.compare(0, 4, "RIFF"));
  EXPECT_EQ(0, wav.compare(8, 8, "WAVEfmt "));
  EXPECT_EQ(20044u, ReadFile(archive + "msg2.wav").size());
  ASSERT_EQ(0, stat((archive + "empty.wav").c_str(), &st));
  EXPECT_EQ(0, st.st_size);
}

// --------------------------------------------------------------- web server

int HttpStatus(const std::string& url, const std::string& credentials) {
  std::string auth = credentials.empty() ? "" : " -u " + Quote(credentials);
  CommandResult r =
      Run("curl -s -o /dev/null -w '%{http_code}'" + auth + " " + Quote(url));
  return r.status == 0 ? std::atoi(r.output.c_str()) : -1;
}

TEST(WebServer, EachAsksForCredentialsExceptUnderPublic) {
  struct stat st;
  if (stat(Env("VXML_CGI").c_str(), &st) != 0)
    GTEST_SKIP() << "the program is not built";
  for (std::string prefix : {"VXML_HTTP", "VXML_APACHE"}) {
    std::string pid = Env("VXML_SERVERS_DIR") + "/http/" +
                      (prefix == "VXML_HTTP" ? "lighttpd" : "apache2") + ".pid";
    if (stat(pid.c_str(), &st) != 0) {
      ADD_FAILURE() << prefix << ": server not running";
      continue;
    }
    auto url = [&](const char* kind) {
      return Env((prefix + kind + "_URL").c_str()) + "?pagename=login";
    };
    EXPECT_EQ(401, HttpStatus(url(""), "")) << prefix;
    EXPECT_EQ(401, HttpStatus(url(""), "alice:wrong")) << prefix;
    EXPECT_NE(401, HttpStatus(url(""), "alice:alicepw")) << prefix;
    EXPECT_NE(401, HttpStatus(url("_GREETING"), "bob:bobpw")) << prefix;
    EXPECT_NE(401, HttpStatus(url("_STOCK"), "bob:bobpw")) << prefix;
    EXPECT_EQ(401, HttpStatus(url("_STOCK"), "")) << prefix;
    EXPECT_NE(401, HttpStatus(url("_PUBLIC"), "")) << prefix;
  }
}

}  // namespace
