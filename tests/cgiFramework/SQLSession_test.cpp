// The SQL session without a server: error texts, variable substitution and
// the statement builders, whose escaping must keep request data inside its
// quotes while leaving ordinary input byte for byte as it was.
#include "cgiFramework/SQLSession.h"

#include <map>
#include <string>

#include <gmock/gmock.h>

#include "cgiFramework/WebContext.h"
#include "tests/cgiFramework/WebTestSupport.h"

namespace {

using ::testing::HasSubstr;
using ::testing::StartsWith;

class SQLSessionTest : public webtest::SiteFixture {
 protected:
  // The error text of a handle whose connection to a missing socket failed.
  std::string SocketError(const char* socket, const char* sql) {
    MYSQL handle;
    mysql_init(&handle);
    EXPECT_EQ(MysqlConnect(&handle, "localhost", "u", "p", "db", 0, socket, 0),
              nullptr);
    std::string text = _mysql_error(&handle, sql);
    mysql_close(&handle);
    return text;
  }
};

// A context whose variables are a plain map, to see that substitution asks
// the context's own HasVariable and GetVariable.
class MapContext : public WebContext {
 public:
  MapContext() : WebContext(nullptr, nullptr) {}
  char* GetVariable(const char* name) override { return &vars.at(name)[0]; }
  bool HasVariable(const char* name) override { return vars.count(name) > 0; }
  std::map<std::string, std::string> vars;
};

std::string Parse(WebContext& context, const char* text) {
  SQLSession session(nullptr);
  UString q("stale");
  return session.QueryParse(context, text, q);
}

TEST_F(SQLSessionTest, ErrorTextFormsAndLimits) {
  std::string console = SocketError("/nonexistent/x.sock", "SELECT 1");
  EXPECT_EQ(console,
            "\nSQL: SELECT 1\nERROR: Can't connect to local server through "
            "socket '/nonexistent/x.sock' (2)");

  // Under CGI both parts are HTML-escaped between the "<br>" separators.
  setenv("QUERY_STRING", "", 1);
  std::string page =
      SocketError("/nonexistent/<a&b>\"c.sock", "SELECT \"<x>\" & 1");
  EXPECT_THAT(
      page,
      StartsWith("<br>SQL: SELECT &quot;&lt;x&gt;&quot; &amp; 1<br>ERROR: "));
  EXPECT_THAT(page,
              HasSubstr("socket '/nonexistent/&lt;a&amp;b&gt;&quot;c.sock'"));

  // Only the first 31700 characters of a long statement are repeated...
  unsetenv("QUERY_STRING");
  std::string sql = std::string(31700, 'a') + std::string(8300, 'b');
  std::string cut = _mysql_error(nullptr, sql.c_str());
  EXPECT_EQ(cut, "\nSQL: " + std::string(31700, 'a') + "\nERROR: ");
  // However much escaping lengthens the statement, the server's message
  // stays whole; the statement gives way, by whole references and whole
  // UTF-8 characters.
  setenv("QUERY_STRING", "", 1);
  const std::string message =
      "<br>ERROR: Can't connect to local server through socket "
      "'/nonexistent/&quot;.sock' (2)";
  for (const char* unit : {"\"", "\"\xC2\xA3"}) {
    std::string statement, escaped;
    while (statement.size() < 40000) {
      statement += unit;
      escaped += std::string("&quot;") + (unit + 1);
    }
    std::string text = SocketError("/nonexistent/\".sock", statement.c_str());
    ASSERT_GE(text.size(), message.size()) << unit;
    std::size_t cut = text.size() - message.size();
    EXPECT_EQ(text.substr(cut), message);
    EXPECT_LE(text.size(), 31999u);
    EXPECT_GE(text.size(), 31990u);
    std::string repeated = text.substr(9, cut - 9);
    EXPECT_EQ(escaped.compare(0, repeated.size(), repeated), 0);
    EXPECT_THAT(repeated, testing::AnyOf(testing::EndsWith(";"),
                                         testing::EndsWith("\xA3")));
  }
}

TEST_F(SQLSessionTest, QueryParseSubstitutesKnownNames) {
  MapContext context;
  context.vars = {{"id", "7"},
                  {"name", "O'Brien"},
                  {"a", "1"},
                  {"group", "1','10','20"},
                  {"odd", "1','x"}};
  EXPECT_EQ(Parse(context, "id=$id"), "id=7");
  EXPECT_EQ(Parse(context, "'$a'\"$a\"$a $a,$a%"), "'1'\"1\"1 1,1%");
  EXPECT_EQ(Parse(context, "$nope, $ida"), "$nope, $ida");
  EXPECT_EQ(Parse(context, "price \\$id \\\\"), "price $id \\");
  EXPECT_EQ(Parse(context, "ends with \\"), "ends with \\");
  EXPECT_EQ(Parse(context, "$"), "$");

  // Values stay inside their quotes; an id list keeps its own quotes.
  EXPECT_EQ(Parse(context, "n='$name'"), "n='O\\'Brien'");
  EXPECT_EQ(Parse(context, "id in ('$group')"), "id in ('1','10','20')");
  EXPECT_EQ(Parse(context, "id in ('$odd')"), "id in ('1\\',\\'x')");

  std::string long_name(5000, 'v');
  context.vars[long_name] = "long";
  EXPECT_EQ(Parse(context, ("x=$" + long_name + ",y").c_str()), "x=long,y");

  SQLSession session(nullptr);
  SQLSession child(&session);
  UString q;
  EXPECT_EQ(child.QueryParse(context, nullptr, q), nullptr);
  EXPECT_STREQ(child.QueryParse(context, "$id", q), "7");
}

TEST_F(SQLSessionTest, StatementBuilders) {
  setenv("QUERY_STRING", "a=7&b=12&c=x&d=&t.col=5&nodefaults=1&sessionId=9", 1);
  WebContext context(Config("secret=1\n"), nullptr);
  SQLSession session(nullptr);
  UString q;
  EXPECT_STREQ(session.GetSQLUpdate(context, q, "Tbl", "id", "3"),
               "UPDATE `Tbl` SET `a`=7,`b`=\"12\",`c`=\"x\",`d`=\"\",t.col=5 "
               "WHERE `id`=\"3\"");
  EXPECT_STREQ(
      session.GetSQLInsert(context, q, "Tbl"),
      "INSERT `Tbl` SET `a`=\"7\",`b`=\"12\",`c`=\"x\",`d`=\"\",t.col=\"5\"");
  EXPECT_STREQ(session.GetSQLDelete(context, q, "Tbl", "t.id", "-42"),
               "DELETE FROM Tbl WHERE t.id = -42");
}

TEST_F(SQLSessionTest, StatementBuildersKeepRequestDataInItsPlace) {
  setenv("QUERY_STRING", "v=x%22+OR+%221%22%3D%221&n%60x=1&t.c%3D1+--+.x=2", 1);
  WebContext context(nullptr, nullptr);
  SQLSession session(nullptr);
  UString q;
  EXPECT_STREQ(session.GetSQLUpdate(context, q, "T", "k`", "1\" OR \"1"),
               "UPDATE `T` SET `v`=\"x\\\" OR \\\"1\\\"=\\\"1\",`n``x`=1,"
               "`t`.`c=1 -- `.`x`=2 WHERE `k```=\"1\\\" OR \\\"1\"");
  EXPECT_STREQ(session.GetSQLDelete(context, q, "T; DROP", "id", "1 OR 1=1"),
               "DELETE FROM `T; DROP` WHERE id = '1 OR 1=1'");
  EXPECT_STREQ(session.GetSQLDelete(context, q, "T", "id", "it's"),
               "DELETE FROM T WHERE id = 'it\\'s'");
}

}  // namespace
