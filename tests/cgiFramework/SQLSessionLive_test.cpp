// The SQL session against the real MariaDB of the test servers: connecting
// through the "SQLSession" option group and the local socket list, root and
// child sessions, error texts of real failures, and escaping that holds for
// the connection's own quoting rules.
#include "cgiFramework/SQLSession.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

#include <cstdlib>
#include <fstream>
#include <utility>
#include <memory>
#include <string>
#include <vector>

#include <gmock/gmock.h>

#include "cgiFramework/WebContext.h"
#include "kernel/OSKernel.h"
#include "support/Env.h"

namespace {

using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::StartsWith;

class SQLSessionLive : public ::testing::Test {
 protected:
  void SetUp() override {
    os_startup(0, 0, nullptr);
    ASSERT_FALSE(Env("VXML_SQL_SOCKET").empty()) << "run through ctest";
    for (const char* name : {"QUERY_STRING", "CONTENT_LENGTH", "HTTP_COOKIE"}) {
      unsetenv(name);
    }
  }
  void TearDown() override { unsetenv("QUERY_STRING"); }

  // A root session with the test servers' account on `host`.
  static SQLSession* Open(const char* host) {
    return new SQLSession(host, Env("VXML_SQL_USER").c_str(),
                          Env("VXML_SQL_PASSWORD").c_str(),
                          Env("VXML_SQL_DB").c_str());
  }

  // The first column of every row of `sql` on `session`; fails the test
  // when the statement fails.
  static std::vector<std::string> Column(SQLSession& session,
                                         const std::string& sql) {
    std::vector<std::string> values;
    if (mysql_query(session.mysql, sql.c_str()) != 0) {
      ADD_FAILURE() << _mysql_error(session.mysql, sql.c_str());
      return values;
    }
    MYSQL_RES* result = mysql_store_result(session.mysql);
    if (result == nullptr) return values;
    while (MYSQL_ROW row = mysql_fetch_row(result)) {
      values.push_back(row[0] != nullptr ? row[0] : "NULL");
    }
    mysql_free_result(result);
    return values;
  }

  // The error text of MysqlConnect to `host` with the group "SQLSession" of
  // the option file `options` (the library reads $MYSQL_HOME only once per
  // process), or "" when it connected.
  static std::string ConnectError(const std::string& options,
                                  const char* host) {
    MYSQL handle;
    mysql_init(&handle);
    mysql_options(&handle, MYSQL_READ_DEFAULT_FILE, options.c_str());
    mysql_options(&handle, MYSQL_READ_DEFAULT_GROUP, "SQLSession");
    std::string text;
    if (MysqlConnect(&handle, host, Env("VXML_SQL_USER").c_str(),
                     Env("VXML_SQL_PASSWORD").c_str(),
                     Env("VXML_SQL_DB").c_str(), 0, nullptr, 0) == nullptr) {
      text = _mysql_error(&handle, "real connect");
    }
    mysql_close(&handle);
    return text;
  }
};

TEST_F(SQLSessionLive, ChildBorrowsTheRootConnectionAndNeverClosesIt) {
  std::unique_ptr<SQLSession> watcher(Open("127.0.0.1"));
  SQLSession* root = Open("127.0.0.1");
  EXPECT_EQ(root->mysql, &root->_mysql);
  EXPECT_EQ(root->parent, nullptr);
  std::string id = Column(*root, "SELECT CONNECTION_ID()").at(0);
  {
    SQLSession child(root);
    EXPECT_EQ(child.mysql, root->mysql);
    EXPECT_EQ(child.parent, root);
    EXPECT_EQ(Column(child, "SELECT CONNECTION_ID()").at(0), id);
  }
  EXPECT_EQ(Column(*root, "SELECT CONNECTION_ID()").at(0), id);
  delete root;
  // The server ends the thread of a closed connection shortly after.
  std::string still =
      "SELECT COUNT(*) FROM information_schema.PROCESSLIST WHERE ID = " + id;
  for (int i = 0; i < 100 && Column(*watcher, still).at(0) != "0"; ++i)
    usleep(20000);
  EXPECT_EQ(Column(*watcher, still).at(0), "0");
}

TEST_F(SQLSessionLive, OptionGroupNamesPortAndSocket) {
  // Neither address names the test server's port or socket: both come from
  // the group [SQLSession] of $MYSQL_HOME/my.cnf.
  std::unique_ptr<SQLSession> tcp(Open("127.0.0.1"));
  EXPECT_EQ(Column(*tcp, "SELECT @@port").at(0), Env("VXML_SQL_PORT"));
  EXPECT_THAT(mysql_get_host_info(tcp->mysql), HasSubstr("TCP/IP"));
  // "localhost" tries the fixed socket paths first; the option group still
  // holds after those failed trials.
  std::unique_ptr<SQLSession> local(Open("localhost"));
  EXPECT_THAT(mysql_get_host_info(local->mysql), HasSubstr("socket"));
}

TEST_F(SQLSessionLive, LocalhostTriesTheFixedSocketsInOrder) {
  // A private option file whose defaults lead nowhere.
  char dir[] = "/tmp/sql-live-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  std::string options = std::string(dir) + "/my.cnf";
  std::ofstream(options)
      << "[SQLSession]\nport=1\nsocket=/nonexistent/default.sock\n";
  std::string server_socket = Env("VXML_SQL_SOCKET");
  const char* saved_path = socket_paths[1];
  socket_paths[1] = server_socket.c_str();

  std::string second = ConnectError(options, "localhost");
  std::string capitals = ConnectError(options, "LOCALHOST");
  std::string address = ConnectError(options, "127.0.0.1");
  socket_paths[1] = saved_path;
  std::string fallback = ConnectError(options, "localhost");

  unlink(options.c_str());
  rmdir(dir);

  EXPECT_EQ(second, "");  // the first path failed, the second connected
  EXPECT_THAT(capitals, HasSubstr("'LOCALHOST'"));
  EXPECT_THAT(address, HasSubstr("'127.0.0.1'"));
  EXPECT_EQ(fallback,
            "\nSQL: real connect\nERROR: Can't connect to local server through "
            "socket '/nonexistent/default.sock' (2)");
}

TEST_F(SQLSessionLive, ConnectionAndStatementFailuresGiveTheirTexts) {
  setenv("QUERY_STRING", "", 1);
  try {
    SQLSession session("127.0.0.1", "portal", "wrong", "portal");
    FAIL() << "connected with a wrong password";
  } catch (char* text) {
    EXPECT_STREQ(text,
                 "<br>SQL: real connect<br>ERROR: Access denied for user "
                 "'portal'@'127.0.0.1' (using password: YES)");
  }
  // The database name comes from the settings file: it never reaches a page.
  try {
    SQLSession session("127.0.0.1", Env("VXML_SQL_USER").c_str(),
                       Env("VXML_SQL_PASSWORD").c_str(), "ledger_x9");
    FAIL() << "connected to a database that does not exist";
  } catch (char* text) {
    EXPECT_THAT(text, HasSubstr("database '***'"));
    EXPECT_THAT(text, Not(HasSubstr("ledger_x9")));
  }

  unsetenv("QUERY_STRING");
  std::unique_ptr<SQLSession> session(Open("127.0.0.1"));
  const char* bad = "SELEC 1";
  ASSERT_NE(mysql_query(session->mysql, bad), 0);
  EXPECT_THAT(_mysql_error(session->mysql, bad),
              StartsWith("\nSQL: SELEC 1\nERROR: You have an error in your SQL "
                         "syntax; check the manual"));

  // A failed statement leaves the connection usable.
  EXPECT_EQ(Column(*session, "SELECT 1").at(0), "1");
}

TEST_F(SQLSessionLive, EscapingFollowsTheConnectionsQuotingRules) {
  std::unique_ptr<SQLSession> session(Open("127.0.0.1"));
  const std::string tricky = "O'Brien \"x\" \\' OR '1'='1 \n\r\x1a";
  // The request argument v holds the same text without control characters.
  const std::string plain = "O'Brien \"x\" \\' OR '1'='1";
  setenv("QUERY_STRING", "v=O%27Brien+%22x%22+%5C%27+OR+%271%27%3D%271", 1);
  WebContext context(nullptr, nullptr);
  UString escaped;
  UString q;
  auto round_trips = [&] {
    for (char quote : {'\'', '"'}) {
      std::string literal =
          quote + std::string(session->Escape(tricky.c_str(), escaped, quote)) +
          quote;
      EXPECT_EQ(Column(*session, "SELECT " + literal).at(0), tricky) << literal;
    }
    // A substituted value is escaped for the quotes the statement has open.
    const char* sql = session->QueryParse(
        context, "SELECT CONCAT('$v', '|', \"$v\", '|', 'it''s \"$v\"')", q);
    EXPECT_EQ(Column(*session, sql).at(0),
              plain + "|" + plain + "|it's \"" + plain + "\"")
        << sql;
  };
  EXPECT_STREQ(session->Escape("O'Brien", escaped), "O\\'Brien");
  round_trips();
  // Without backslash escapes the server reads a backslash as a character:
  // the delimiting quote must be doubled instead.
  Column(*session, "SET sql_mode = 'NO_BACKSLASH_ESCAPES'");
  EXPECT_STREQ(session->Escape("O'Brien \"x\"", escaped), "O''Brien \"x\"");
  EXPECT_STREQ(session->Escape("O'Brien \"x\"", escaped, '"'),
               "O'Brien \"\"x\"\"");
  round_trips();
}

TEST_F(SQLSessionLive, BuiltStatementsStoreRequestDataAsSent) {
  std::unique_ptr<SQLSession> session(Open("127.0.0.1"));
  Column(*session,
         "CREATE TEMPORARY TABLE Probe (id VARCHAR(32) PRIMARY KEY, "
         "name VARCHAR(64), qty INT)");
  UString q;
  auto run = [&](const char* query, const char* table, bool insert) {
    setenv("QUERY_STRING", query, 1);
    WebContext context(nullptr, nullptr);
    const char* sql =
        insert ? session->GetSQLInsert(context, q, table)
               : session->GetSQLUpdate(context, q, table, "id", "a1");
    EXPECT_EQ(mysql_query(session->mysql, sql), 0) << sql;
  };
  run("id=a1&name=O%27Brien+%22x%22+%5C&qty=7", "Probe", true);
  run("id=b2&name=other&qty=8", "Probe", true);
  EXPECT_EQ(Column(*session, "SELECT name FROM Probe WHERE id='a1'").at(0),
            "O'Brien \"x\" \\");
  // An attempt to set qty through the value only changes the name.
  run("name=x%22%2C+qty%3D%229", "Probe", false);
  EXPECT_EQ(
      Column(*session, "SELECT CONCAT(name,'|',qty) FROM Probe WHERE id='a1'")
          .at(0),
      "x\", qty=\"9|7");
  // The same holds where a backslash is an ordinary character.
  Column(*session, "SET sql_mode = 'NO_BACKSLASH_ESCAPES'");
  run("name=y%22%2C+qty%3D%229+%5C", "Probe", false);
  EXPECT_EQ(
      Column(*session, "SELECT CONCAT(name,'|',qty) FROM Probe WHERE id='a1'")
          .at(0),
      "y\", qty=\"9 \\|7");

  unsetenv("QUERY_STRING");
  WebContext context(nullptr, nullptr);
  ASSERT_EQ(
      mysql_query(session->mysql, session->GetSQLDelete(context, q, "Probe",
                                                        "id", "a1' OR '1'='1")),
      0);
  EXPECT_EQ(Column(*session, "SELECT COUNT(*) FROM Probe").at(0), "2");
  ASSERT_EQ(mysql_query(session->mysql,
                        session->GetSQLDelete(context, q, "Probe", "id", "a1")),
            0);
  EXPECT_EQ(Column(*session, "SELECT id FROM Probe"),
            std::vector<std::string>{"b2"});
}

// A settings file holding `content`, for a request context to read.
class SettingsFile {
 public:
  explicit SettingsFile(const std::string& content) {
    char pattern[] = "/tmp/sql-live-XXXXXX";
    if (mkdtemp(pattern) != nullptr) dir = pattern;
    path = dir + "/settings.cfg";
    std::ofstream(path) << content;
  }
  ~SettingsFile() {
    unlink(path.c_str());
    rmdir(dir.c_str());
  }
  std::string dir, path;
};

// The error text of `run`, and how long it took in seconds.
template <typename Run>
std::pair<std::string, double> Timed(Run run) {
  auto start = std::chrono::steady_clock::now();
  std::string thrown = run();
  std::chrono::duration<double> waited =
      std::chrono::steady_clock::now() - start;
  return {thrown, waited.count()};
}

// A server that accepts and never answers, and a table locked by another
// client: the time-outs of the settings file end the waits (1 second as
// set, not the default 3 or 10) with the library's texts.
TEST_F(SQLSessionLive, SettingsTimeOutsEndTheWaits) {
  // Where the option group sends the connection, on another address.
  int listener = socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(listener, 0);
  sockaddr_in addr = {};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(std::stoi(Env("VXML_SQL_PORT")));
  inet_pton(AF_INET, "127.0.0.3", &addr.sin_addr);
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ASSERT_EQ(listen(listener, 4), 0);
  SettingsFile settings("sqlConnectTimeout=1\nsqlReadTimeout=1\n");
  WebContext context(settings.path.c_str(), nullptr);

  auto silent = Timed([] {
    try {
      SQLSession session("127.0.0.3", "portal", "x", "portal");
    } catch (char* text) {
      return std::string(text);
    }
    return std::string("connected");
  });
  close(listener);
  EXPECT_THAT(silent.first,
              StartsWith("\nSQL: real connect\nERROR: Lost connection to "
                         "server at 'handshake: reading initial "
                         "communication packet'"));

  std::unique_ptr<SQLSession> holder(Open("127.0.0.1"));
  std::unique_ptr<SQLSession> waiter(Open("127.0.0.1"));
  Column(*holder, "CREATE TABLE IF NOT EXISTS Held (id INT)");
  Column(*holder, "LOCK TABLES Held WRITE");
  auto locked = Timed([&] {
    mysql_query(waiter->mysql, "SELECT * FROM Held");
    return std::string(mysql_error(waiter->mysql));
  });
  Column(*holder, "UNLOCK TABLES");
  Column(*holder, "DROP TABLE Held");
  EXPECT_EQ(locked.first, "Lost connection to server during query");
  for (double waited : {silent.second, locked.second}) {
    EXPECT_GE(waited, 0.9);
    EXPECT_LT(waited, 2.5);
  }
}

}  // namespace
