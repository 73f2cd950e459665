// The portal context against the test servers' portal database: the web
// user's settings read afresh and then from the session cache, rights and
// contact attributes, the subscriber's search group, failures and their
// texts, user names that try to change the settings statement, the
// directory session, and Abort ending a busy statement.
#include "app/PortalContext.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>

#include "cgiFramework/SQLSession.h"
#include "cgiFramework/SitePaths.h"
#include "kernel/OSKernel.h"
#include "kernel/OSList.h"
#include "ldap/LDAPSession.h"
#include "support/Env.h"

namespace {

using ::testing::HasSubstr;

constexpr char kConfig[] = "/Korvelund/config/Lumera.cfg";

// The settings statement for `user` at the portal Lumera, as the server must
// receive it for ordinary names.
std::string SettingsStatement(const std::string& user) {
  return "SELECT users.customerId, contactid "
         ",VirtualCallServer.primaryLDAPServer,"
         "VirtualCallServer.primaryLDAPUser, "
         "VirtualCallServer.primaryLDAPPassword,"
         "VirtualCallServer.voicemailFTPPassword,VirtualCallServer.HostName, "
         "ThemeId,"
         "CustomerType,emailsourceaddr,CustomerName, cca.attribvalue as "
         "TimeZone, '" +
         user +
         "' as AuthName,'Lumera' as ServerName, ca.attribvalue as Currency "
         "FROM "
         "VirtualHost INNER JOIN VirtualCallServer on "
         "VirtualHost.VirtualCallServerid = "
         "VirtualCallServer.id INNER JOIN ( select CustomerContact.id as "
         "contactid,"
         "Customer.id as "
         "customerId,SubscriberId,ThemeId,CustomerType,CustomerName FROM "
         "CustomerContact INNER JOIN Customer on CustomerContact.customerid = "
         "Customer.id "
         "where username = '" +
         user +
         "' ) as users on users.customerid = "
         "VirtualCallServer.customerid or users.SubscriberId = "
         "VirtualCallServer.customerid"
         "  LEFT JOIN CustomerContactAttrib as cca on cca.userid=contactid AND "
         "cca.attribname='timezone' LEFT JOIN CustomerAttribute as ca on "
         "ca.customerid=users.customerid AND ca.attribname='currency'WHERE "
         "serverName = "
         "'Lumera'";
}

// The first column of the first row of `sql` on `session` ("" for none).
std::string Value(SQLSession* session, const std::string& sql) {
  if (mysql_query(session->mysql, sql.c_str()) != 0) {
    ADD_FAILURE() << _mysql_error(session->mysql, sql.c_str());
    return "";
  }
  MYSQL_RES* result = mysql_store_result(session->mysql);
  if (result == nullptr) return "";
  MYSQL_ROW row = mysql_fetch_row(result);
  std::string value = row != nullptr && row[0] != nullptr ? row[0] : "";
  mysql_free_result(result);
  return value;
}

// A status counter of the context's own connection, e.g. the number of
// SELECT statements it has run.
long Counter(PortalContext& context, const char* name) {
  std::string sql = std::string("SHOW SESSION STATUS LIKE '") + name + "'";
  if (mysql_query(context.sql_session->mysql, sql.c_str()) != 0) return -1;
  MYSQL_RES* result = mysql_store_result(context.sql_session->mysql);
  MYSQL_ROW row = mysql_fetch_row(result);
  long value = row != nullptr ? strtol(row[1], nullptr, 10) : -1;
  mysql_free_result(result);
  return value;
}

// Every customer member, as one text to compare whole.
std::string Members(PortalContext& c) {
  UString text;
  text.Format(
      "%d %d %d %d %d [%s] [%s] [%s] [%s] [%s] [%s] [%s] [%s] [%s] [%s] [%s] "
      "[%s]",
      c.customerId, c.contactId, c.themeId, static_cast<int>(c.customerType),
      c.subscriberId, static_cast<char*>(c.customerIdString),
      static_cast<char*>(c.contactIdString),
      static_cast<char*>(c.primaryLDAPServer),
      static_cast<char*>(c.primaryLDAPUser),
      static_cast<char*>(c.primaryLDAPPassword),
      static_cast<char*>(c.voicemailFTPPassword),
      static_cast<char*>(c.hostName), static_cast<char*>(c.emailSourceAddress),
      static_cast<char*>(c.customerName), static_cast<char*>(c.timeZone),
      static_cast<char*>(c.currency), static_cast<char*>(c.administrator));
  return static_cast<char*>(text);
}

// The session variables whose names begin with "portalContext", as
// "name=value" texts.
std::set<std::string> CacheVariables(PortalContext& c) {
  std::set<std::string> found;
  for (WebSessionVar* var : c.session_vars) {
    std::string name = static_cast<char*>(var->name);
    if (name.rfind("portalContext", 0) == 0) {
      found.insert(name + "=" + static_cast<char*>(var->value));
    }
  }
  return found;
}

class PortalContextLive : public ::testing::Test {
 protected:
  void SetUp() override {
    os_startup(0, 0, nullptr);
    ASSERT_FALSE(Env("VXML_ROOT").empty()) << "run through ctest";
    for (const char* name : {"CONTENT_LENGTH", "CONTENT_TYPE", "HTTP_COOKIE"})
      unsetenv(name);
    setenv("REMOTE_ADDR", "127.0.0.1", 1);
    setenv("REMOTE_PORT", "40000", 1);
    saved_tz = Env("TZ");
  }
  void TearDown() override {
    for (const std::string& id : sessions) {
      unlink(static_cast<char*>(
          SitePath(("/Korvelund/sessions/User_" + id).c_str())));
    }
    for (const char* name :
         {"QUERY_STRING", "REMOTE_USER", "REMOTE_ADDR", "REMOTE_PORT"}) {
      unsetenv(name);
    }
    setenv("TZ", saved_tz.c_str(), 1);
  }

  // A request of `user` (none when null) carrying `query`, its session
  // initialised as the voice program does.
  std::unique_ptr<PortalContext> Request(const char* user,
                                         const std::string& query = "",
                                         const char* config = kConfig) {
    if (user != nullptr) {
      setenv("REMOTE_USER", user, 1);
    } else {
      unsetenv("REMOTE_USER");
    }
    setenv("QUERY_STRING", query.c_str(), 1);
    auto context = std::make_unique<PortalContext>(config, "");
    context->InitSession("User", 0, true);
    return context;
  }

  // The query text that continues the session of `context`.
  std::string Continue(PortalContext& context) {
    std::string id = context.GetWebSessionId();
    sessions.push_back(id);
    return "sessionId=" + id;
  }

  // The text thrown by ReadSettings, or "" when it throws nothing.
  static std::string ReadSettingsError(PortalContext& context) {
    try {
      context.ReadSettings();
    } catch (char* text) {
      return text;
    }
    return "";
  }

  std::vector<std::string> sessions;
  std::string saved_tz;
};

TEST_F(PortalContextLive, FreshPathThenCachedPathOfTheSameSession) {
  auto first = Request("alice");
  first->ReadSettings();
  EXPECT_EQ(
      Members(*first),
      "10 100 2 0 0 [10] [100] [127.0.0.1] [cn=admin,o=Korvelund] "
      "[adminsecret] "
      "[ftpsecret] [callserver1] [noreply@korvelund.example] [Archer Plumbing] "
      "[Europe/London] [$] []");
  EXPECT_EQ(Counter(*first, "Com_select"), 1);
  EXPECT_EQ(Value(first->sql_session, "SELECT @@session.time_zone"),
            "Europe/London");
  EXPECT_EQ(Env("TZ"), "Europe/London");
  EXPECT_EQ(
      CacheVariables(*first),
      (std::set<std::string>{
          "portalContextcustomerId=10", "portalContextcontactid=100",
          "portalContextprimaryLDAPServer=127.0.0.1",
          "portalContextprimaryLDAPUser=cn=admin,o=Korvelund",
          "portalContextprimaryLDAPPassword=adminsecret",
          "portalContextvoicemailFTPPassword=ftpsecret",
          "portalContextHostName=callserver1", "portalContextThemeId=2",
          "portalContextCustomerType=0",
          "portalContextemailsourceaddr=korvelund.example",
          "portalContextCustomerName=Archer Plumbing",
          "portalContextTimeZone=Europe/London", "portalContextAuthName=alice",
          "portalContextServerName=Lumera", "portalContextCurrency=$"}));

  first->BuildSecurityRights(100);
  EXPECT_STREQ(first->accessRights, "3,7,0");
  EXPECT_TRUE(first->HasUserRight(3) && first->HasUserRight(7) &&
              first->HasUserRight(0));
  EXPECT_FALSE(first->HasUserRight(5) || first->HasUserRight(30));
  EXPECT_STREQ(first->reportMask, "255");
  EXPECT_TRUE(first->HasSuperQueue());
  EXPECT_TRUE(first->isAdministrator());
  EXPECT_TRUE(first->isCCSuperVisor());
  std::string members = Members(*first);
  std::string query = Continue(*first);
  first.reset();

  // The next request, with the name in other letter case, runs no SELECT.
  setenv("TZ", "UTC0", 1);
  auto second = Request("ALICE", query);
  second->ReadSettings();
  EXPECT_EQ(Members(*second), members);
  EXPECT_EQ(Env("TZ"), "Europe/London");
  second->BuildSecurityRights(100);
  EXPECT_STREQ(second->accessRights, "3,7,0");
  EXPECT_STREQ(second->superQueue, "1");
  EXPECT_TRUE(second->isCCSuperVisor());
  EXPECT_EQ(Counter(*second, "Com_select"), 0);
  EXPECT_EQ(Value(second->sql_session, "SELECT @@session.time_zone"),
            "Europe/London");
}

TEST_F(PortalContextLive, UserWithoutSettingsRowIsToldOnStandardErrorEachTime) {
  // The session was alice's, with her rights and supervisor answer cached.
  auto alice = Request("alice");
  alice->ReadSettings();
  alice->BuildSecurityRights(100);
  EXPECT_TRUE(alice->isCCSuperVisor());
  std::string query = Continue(*alice);
  alice.reset();

  auto first = Request("carol", query);
  ::testing::internal::CaptureStderr();
  first->ReadSettings();
  EXPECT_EQ(
      ::testing::internal::GetCapturedStderr(),
      "Login details not allowed for this Portal Lumera for user carol\n");
  EXPECT_EQ(Members(*first), "0 0 0 0 0 [] [] [] [] [] [] [] [] [] [] [] []");
  // Nothing is cached for carol, and nothing of alice's is left to her.
  EXPECT_EQ(CacheVariables(*first), std::set<std::string>{});
  EXPECT_FALSE(first->HasWebSessionVar("isSuperVisor"));
  first->BuildSecurityRights(300);
  EXPECT_STREQ(first->accessRights, "0");
  EXPECT_FALSE(first->isCCSuperVisor() || first->isAdministrator());
  first.reset();

  auto second = Request("carol", query);
  ::testing::internal::CaptureStderr();
  second->ReadSettings();
  EXPECT_THAT(::testing::internal::GetCapturedStderr(),
              HasSubstr("for user carol"));
  EXPECT_EQ(Counter(*second, "Com_select"), 1);
}

TEST_F(PortalContextLive, AnotherUserReadsAfreshAndDropsTheCaches) {
  auto first = Request("alice");
  first->ReadSettings();
  first->BuildSecurityRights(100);
  EXPECT_TRUE(first->isCCSuperVisor());
  EXPECT_STREQ(static_cast<char*>(first->GetWebSessionVar("isSuperVisor")),
               "1");
  std::string query = Continue(*first);
  first.reset();

  setenv("TZ", "UTC0", 1);
  auto second = Request("bob", query);
  second->ReadSettings();
  // A NULL contact id reads as 0 and a NULL currency as the pound sign; no
  // time zone means no SET statement and TZ left alone.
  const std::string bob =
      "20 0 3 0 0 [20] [0] [127.0.0.1] [cn=admin,o=Korvelund] [adminsecret] "
      "[ftpsecret] [callserver1] [noreply@korvelund.example] [Baker Bakery] [] "
      "[\xC2\xA3] []";
  EXPECT_EQ(Members(*second), bob);
  EXPECT_EQ(Counter(*second, "Com_set_option"), 0);
  EXPECT_EQ(Env("TZ"), "UTC0");
  EXPECT_FALSE(second->HasWebSessionVar("portalContextUserRights"));
  second->BuildSecurityRights(second->contactId);
  EXPECT_STREQ(second->accessRights, "0");
  EXPECT_TRUE(second->HasUserRight(0));
  EXPECT_FALSE(second->HasUserRight(3) || second->isAdministrator());
  second->SetCurrency();
  EXPECT_STREQ(second->currency, "\xC2\xA3");

  // alice's supervisor answer went with her caches. A yes is cached; a no
  // is asked again each time.
  EXPECT_FALSE(second->HasWebSessionVar("isSuperVisor"));
  EXPECT_FALSE(second->isCCSuperVisor());
  EXPECT_FALSE(second->HasWebSessionVar("isSuperVisor"));
  long selects = Counter(*second, "Com_select");
  EXPECT_FALSE(second->isCCSuperVisor());
  EXPECT_EQ(Counter(*second, "Com_select"), selects + 1);
  second.reset();

  // The cached path keeps the pound sign of the NULL currency.
  auto third = Request("bob", query);
  third->ReadSettings();
  EXPECT_EQ(Members(*third), bob);
}

TEST_F(PortalContextLive, SubscriberSearchGroupAndStatementVariables) {
  auto sam = Request("sam", "contactId=55");
  sam->ReadSettings();
  EXPECT_EQ(sam->customerType, CTSubscriber);
  EXPECT_STREQ(sam->currency, "\xC2\xA3");  // attribute row with a NULL value
  EXPECT_EQ(Env("TZ"), "America/New_York");
  EXPECT_TRUE(sam->isAdministrator());  // contact 1

  std::string group = sam->GetCustomerSearchGroup();
  std::set<std::string> ids;
  for (size_t start = 0;;) {
    size_t end = group.find("','", start);
    ids.insert(group.substr(start, end - start));
    if (end == std::string::npos) break;
    start = end + 3;
  }
  EXPECT_EQ(ids, (std::set<std::string>{"1", "10", "20"}));
  long selects = Counter(*sam, "Com_select");
  EXPECT_EQ(sam->GetVariable("customerSearchGroup"), group);
  EXPECT_EQ(Counter(*sam, "Com_select"), selects);

  // Statement texts take the variables through QueryParse.
  UString q;
  SQLSession session(sam->GetSQLSession());
  EXPECT_EQ(
      Value(&session, session.QueryParse(
                          *sam,
                          "SELECT COUNT(*) FROM Customer WHERE id in "
                          "('$customerSearchGroup') AND id != '$subscriberId'",
                          q)),
      "3");
  EXPECT_STREQ(session.QueryParse(*sam, "$customerId,$contactId,$nothing", q),
               "1,55,$nothing");
  EXPECT_TRUE(sam->HasVariable("customerSearchGroup"));
  EXPECT_FALSE(sam->HasVariable("nothing"));

  auto alice = Request("alice");
  alice->ReadSettings();
  EXPECT_STREQ(alice->GetCustomerSearchGroup(), "10");
  // contactId is always a statement variable, but never the member.
  EXPECT_TRUE(alice->HasVariable("contactId"));
  EXPECT_STREQ(alice->GetVariable("contactId"), "");
  EXPECT_STREQ(session.QueryParse(*alice, "id='$contactId'", q), "id=''");
  alice->BuildSecurityRights(UString("100"));
  std::string rights = static_cast<char*>(alice->accessRights);
  EXPECT_EQ(rights.size(), 7u);
  EXPECT_TRUE(alice->HasUserRight(5) && alice->HasUserRight(3) &&
              alice->HasUserRight(7));
  EXPECT_EQ(rights.substr(6), "0") << rights;
}

TEST_F(PortalContextLive, FailuresThrowTheirTexts) {
  std::string path =
      static_cast<char*>(SitePath("/Korvelund/config/sqltest-bad.cfg"));
  std::ofstream(path)
      << "serverAddress=127.0.0.1\nuser=portal\npassword=wrong\ndb=portal\n";
  auto bad = Request("alice", "", "/Korvelund/config/sqltest-bad.cfg");
  EXPECT_EQ(ReadSettingsError(*bad),
            "<br>SQL: real connect<br>ERROR: Access denied for user "
            "'portal'@'127.0.0.1' "
            "(using password: YES)");
  EXPECT_EQ(bad->sql_session, nullptr);
  unlink(path.c_str());

  // The settings statement fails while its first table is away.
  auto alice = Request("alice");
  SQLSession* admin = alice->GetSQLSession();
  Value(admin, "RENAME TABLE VirtualHost TO VirtualHostAway");
  std::string plain = ReadSettingsError(*alice);
  std::unique_ptr<PortalContext> other = Request("alice' OR '1'='1");
  std::string injected = ReadSettingsError(*other);
  Value(admin, "RENAME TABLE VirtualHostAway TO VirtualHost");

  EXPECT_EQ(plain, "<br>SQL: " + SettingsStatement("alice") +
                       "<br>ERROR: Table 'portal.VirtualHost' doesn't exist");
  EXPECT_EQ(injected,
            "<br>SQL: " + SettingsStatement("alice\\' OR \\'1\\'=\\'1") +
                "<br>ERROR: Table 'portal.VirtualHost' doesn't exist");
}

TEST_F(PortalContextLive, TimeZoneCannotChangeItsStatement) {
  // A time zone that would set a second variable if it were not escaped.
  const std::string zone = "Europe/London', sql_mode='ANSI";
  auto admin = Request(nullptr);
  SQLSession* sql = admin->GetSQLSession();
  const std::string set_zone =
      "UPDATE CustomerContactAttrib SET attribvalue = '%s' WHERE userid = 100 "
      "AND attribname = 'timezone'";
  char update[512];
  snprintf(update, sizeof update, set_zone.c_str(),
           "Europe/London\\', sql_mode=\\'ANSI");
  Value(sql, update);
  auto alice = Request("alice");
  const std::string error = ReadSettingsError(*alice);
  snprintf(update, sizeof update, set_zone.c_str(), "Europe/London");
  Value(sql, update);

  EXPECT_EQ(alice->timeZone, zone.c_str());
  EXPECT_THAT(error, HasSubstr("SET time_zone = 'Europe/London\\', "
                               "sql_mode=\\'ANSI'"));
  EXPECT_THAT(error, HasSubstr("Unknown or incorrect time zone"));
  EXPECT_EQ(Value(alice->sql_session, "SELECT @@session.sql_mode")
                .find("ANSI_QUOTES"),
            std::string::npos);
}

TEST_F(PortalContextLive, UserNamesCannotChangeTheSettingsStatement) {
  for (const char* user :
       {"alice' OR '1'='1", "x' OR username <> '", "alice\\",
        "x' UNION SELECT 1,2,3,4,5,6,7,8,9,10,11,12,13,14,15 -- "}) {
    auto context = Request(user);
    ::testing::internal::CaptureStderr();
    context->ReadSettings();
    EXPECT_EQ(
        ::testing::internal::GetCapturedStderr(),
        std::string(
            "Login details not allowed for this Portal Lumera for user ") +
            user + "\n");
    EXPECT_EQ(context->customerId, 0) << user;
    EXPECT_EQ(context->sql_session != nullptr
                  ? Value(context->sql_session, "SELECT 1")
                  : "",
              "1");
  }
}

TEST_F(PortalContextLive, DirectorySessionUsesTheSettingsFile) {
  std::string path =
      static_cast<char*>(SitePath("/Korvelund/config/sqltest-ldap.cfg"));
  // An anonymous bind instead of the customer row's administrator.
  std::ofstream(path)
      << "serverAddress=127.0.0.1\nuser=portal\npassword=portalpw\n"
         "db=portal\nldapserver="
      << Env("VXML_LDAP_HOST") << "\nldapuser=\nldappassword=\n";
  auto context = Request("alice", "", "/Korvelund/config/sqltest-ldap.cfg");
  EXPECT_EQ(context->GetLDAPSession(true), nullptr);
  context->ReadSettings();
  EXPECT_STREQ(context->primaryLDAPUser, "cn=admin,o=Korvelund");
  LDAPSession* session = context->GetLDAPSession(false);
  ASSERT_NE(session, nullptr);
  EXPECT_STREQ(context->primaryLDAPUser, "");
  EXPECT_STREQ(context->primaryLDAPPassword, "");
  EXPECT_STREQ(context->primaryLDAPServer, "127.0.0.1");
  EXPECT_EQ(context->GetLDAPSession(true), session);
  unlink(path.c_str());
}

// Runs in a child process: a thread of the request sleeps in a statement
// while the request is aborted.
void AbortBusyRequest(PortalContext& context) {
  context.ReadSettings();
  UString fifo;
  fifo.Format("/Korvelund/fifos/%s_%u_out", context.GetWebSessionId(),
              static_cast<unsigned>(getpid()));
  mkfifo(SitePath(fifo), 0600);
  SQLSession* busy = context.GetSQLSession();
  std::thread([busy] {
    SQLSession child(busy);
    mysql_query(child.mysql, "SELECT SLEEP(30)");
  }).detach();
  SQLSession watcher(Env("VXML_SQL_HOST").c_str(), "portal", "portalpw",
                     "portal");
  for (int i = 0; i < 250; ++i) {
    if (Value(&watcher,
              "SELECT COUNT(*) FROM information_schema.PROCESSLIST "
              "WHERE INFO = 'SELECT SLEEP(30)'") == "1") {
      break;
    }
    usleep(20000);
  }
  context.Abort();
  fprintf(stderr, "Abort returned\n");
}

TEST_F(PortalContextLive, AbortRemovesThePipeAndKillsTheBusyStatement) {
  // Without a database connection Abort only removes the pipe and returns.
  auto idle = Request("alice", "sessionId=77");
  UString fifo;
  fifo.Format("/Korvelund/fifos/77_%u_out", static_cast<unsigned>(getpid()));
  ASSERT_EQ(mkfifo(SitePath(fifo), 0600), 0);
  idle->Abort();
  EXPECT_NE(access(SitePath(fifo), F_OK), 0);
  sessions.push_back("77");
  idle.reset();

  auto busy = Request("alice", "sessionId=78");
  sessions.push_back("78");
  EXPECT_EXIT(AbortBusyRequest(*busy), ::testing::ExitedWithCode(1), "");
  busy.reset();

  SQLSession watcher(Env("VXML_SQL_HOST").c_str(), "portal", "portalpw",
                     "portal");
  const char* sleeping =
      "SELECT COUNT(*) FROM information_schema.PROCESSLIST WHERE INFO = "
      "'SELECT SLEEP(30)'";
  for (int i = 0; i < 100 && Value(&watcher, sleeping) != "0"; ++i)
    usleep(20000);
  EXPECT_EQ(Value(&watcher, sleeping), "0");
  UString fifos = SitePath("/Korvelund/fifos");
  std::unique_ptr<DIR, int (*)(DIR*)> dir(opendir(fifos), closedir);
  ASSERT_NE(dir, nullptr);
  while (dirent* entry = readdir(dir.get())) {
    EXPECT_THAT(entry->d_name, ::testing::Not(HasSubstr("_out")));
  }
}

}  // namespace
