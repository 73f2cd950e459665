// The program end to end: the same requests through each web server of the
// test servers (lighttpd and Apache httpd running vxml.cgi against the seeded
// directory and portal database), each running it as a CGI and as FastCGI
// workers, one call moving between the two servers, and the
// program run directly as a CGI where a request needs a broken
// configuration. tests/servers/README.md describes the servers, their data
// and the environment these tests get.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "support/CgiRun.h"
#include "support/Env.h"
#include "support/LogSocket.h"

namespace {

struct Response {
  int status = 0;
  std::map<std::string, std::string> headers;  // names in lower case
  std::string body;
};

// One request to `url` with `query`, through curl: with basic auth as
// `user` ("name:password") unless that is empty, and as a POST of `body`
// with `content_type` when a body is given.
Response Fetch(const std::string& url, const std::string& query,
               const std::string& user, const std::string& content_type = "",
               const std::string& body = "") {
  std::string command = "curl -sS -g -i --max-time 60";
  if (!user.empty()) command += " -u '" + user + "'";
  if (!body.empty()) {
    command +=
        " -H 'Content-Type: " + content_type + "' --data-binary '" + body + "'";
  }
  command += " '" + url + "?" + query + "'";
  std::string raw;
  if (FILE* curl = popen(command.c_str(), "r")) {
    char chunk[8192];
    size_t n;
    while ((n = fread(chunk, 1, sizeof chunk, curl)) > 0) raw.append(chunk, n);
    pclose(curl);
  }

  Response response;
  size_t end = raw.find("\r\n\r\n");
  if (end == std::string::npos) return response;
  response.body = raw.substr(end + 4);
  std::string head = raw.substr(0, end + 2);
  if (sscanf(head.c_str(), "HTTP/%*s %d", &response.status) != 1)
    return response;
  for (size_t at = head.find("\r\n") + 2; at < head.size();) {
    size_t eol = head.find("\r\n", at);
    std::string line = head.substr(at, eol - at);
    size_t colon = line.find(':');
    if (colon != std::string::npos) {
      std::string name = line.substr(0, colon);
      for (char& c : name) c = static_cast<char>(tolower(c));
      size_t value = line.find_first_not_of(" \t", colon + 1);
      response.headers[name] =
          value != std::string::npos ? line.substr(value) : "";
    }
    at = eol + 2;
  }
  return response;
}

// The VoiceXML document after the header lines the web server takes.
const char kDocumentStart[] =
    "<?xml version=\"1.0\" ?>\n"
    "<!DOCTYPE vxml PUBLIC \"SpeechBrowser/2.0/DTD\" \"ignore\" >\n"
    "<vxml version=\"2.0\">\n";

// The HTML page holding `text`, after its header lines.
std::string HtmlPage(const std::string& text) {
  return "<html>\n<head>\n<title></title>\n</head>\n<body >\n" + text +
         "</body>\n</html>\n";
}

std::string CallbackDocument(const std::string& greeting,
                             const std::string& dest) {
  return std::string(kDocumentStart) + "<form id=\"callback\">\n<block>\n" +
         greeting + "</block>\n<transfer name=\"call\" dest=\"" + dest +
         "\"/>\n</form>\n</vxml>\n";
}

const char kAlice[] = "alice:alicepw";
const char kArchive[] = "/hosts/callserver1/Korvelund/Mailbox/Archive/";

// One web server of the test servers in one mode (CGI or FastCGI): the
// prefix of its URL variables and the pid file that shows it runs.
struct WebServer {
  const char* name;
  const char* env;  // VXML_HTTP_URL, VXML_HTTP_GREETING_URL, ...
  const char* pid_file;
};

void PrintTo(const WebServer& server, std::ostream* out) {
  *out << server.name;
}

const WebServer kLighttpd = {"lighttpd", "VXML_HTTP", "lighttpd.pid"};
const WebServer kApache = {"apache", "VXML_APACHE", "apache2.pid"};
const WebServer kLighttpdFastCgi = {"lighttpd_fastcgi", "VXML_HTTP_FCGI",
                                    "lighttpd.pid"};
const WebServer kApacheFastCgi = {"apache_fastcgi", "VXML_APACHE_FCGI",
                                  "apache2.pid"};

// Why `server` cannot be asked, or "" when it can.
std::string Unavailable(const WebServer& server) {
  struct stat st;
  if (stat(Env("VXML_CGI").c_str(), &st) != 0) {
    return "the web servers do not run vxml.cgi (VXML_CGI not built)";
  }
  std::string pid = Env("VXML_SERVERS_DIR") + "/http/" + server.pid_file;
  if (stat(pid.c_str(), &st) != 0) {
    return std::string(server.name) + " is not running (see servers.sh)";
  }
  return "";
}

std::string Url(const WebServer& server, const char* kind = "") {
  return Env((std::string(server.env) + kind + "_URL").c_str());
}

class VxmlLiveTest : public ::testing::TestWithParam<WebServer> {
 protected:
  void SetUp() override {
    std::string why = Unavailable(GetParam());
    if (!why.empty()) GTEST_SKIP() << why;
    url = Url(GetParam());
    root = Env("VXML_ROOT");
  }

  // slapd's log from the current end on: what the requests since then did.
  size_t LogMark() { return ReadFile(Env("VXML_LDAP_LOG")).size(); }
  std::string LogSince(size_t mark) {
    return ReadFile(Env("VXML_LDAP_LOG")).substr(mark);
  }

  std::string url;
  std::string root;
};

INSTANTIATE_TEST_SUITE_P(WebServers, VxmlLiveTest,
                         ::testing::Values(kLighttpd, kApache,
                                           kLighttpdFastCgi, kApacheFastCgi),
                         [](const ::testing::TestParamInfo<WebServer>& info) {
                           return std::string(info.param.name);
                         });

// --- Voice pages through the web server --------------------------------------

TEST_P(VxmlLiveTest, DialoutMenuIsVoiceXmlThroughTheServer) {
  // The page's bytes are the unit tests' business; here: the header lines
  // as the web server passes them on, the status, and a whole VoiceXML
  // document.
  Response r = Fetch(url, "pagename=dialout", kAlice);
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.headers["content-type"], "text/plain");
  EXPECT_EQ(r.headers["cache-control"],
            "no-cache, no-store, max-age=1, must-revalidate");
  EXPECT_EQ(r.body.compare(0, strlen(kDocumentStart), kDocumentStart), 0)
      << r.body;
  EXPECT_NE(r.body.find("<menu id=\"menu\">"), std::string::npos) << r.body;
  const std::string end = "</vxml>\n";
  ASSERT_GE(r.body.size(), end.size());
  EXPECT_EQ(r.body.substr(r.body.size() - end.size()), end);
}

TEST_P(VxmlLiveTest, CallbackLooksTheNumberUpInTheDirectory) {
  size_t mark = LogMark();
  Response r = Fetch(url, "pagename=callback&dest=2001", kAlice);
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.body, CallbackDocument("<prompt>Dialling </prompt>\n", "2001"));
  std::string log = LogSince(mark);
  EXPECT_NE(log.find("SRCH base=\"\" scope=2 deref=0 "
                     "filter=\"(GlobalTelephoneNumber=2001)\""),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("SRCH attr=cn guid"), std::string::npos) << log;

  // With the greeting file beside the program; a number shared by two
  // entries and an unknown number give the same page.
  EXPECT_EQ(
      Fetch(Url(GetParam(), "_GREETING"), "pagename=callback&dest=2003", kAlice)
          .body,
      CallbackDocument("<audio src=\"dialling.wav\"/>\n", "2003"));
  EXPECT_EQ(Fetch(url, "pagename=callback&dest=9999", kAlice).body,
            CallbackDocument("<prompt>Dialling </prompt>\n", "9999"));
}

TEST_P(VxmlLiveTest, CallbackDestinationStaysOneFilterValue) {
  size_t mark = LogMark();
  Response r = Fetch(url, "pagename=callback&dest=*", kAlice);
  EXPECT_EQ(r.body, CallbackDocument("<prompt>Dialling </prompt>\n", "*"));
  r = Fetch(url, "pagename=callback&dest=2001)(cn%3D*", kAlice);
  EXPECT_EQ(r.body,
            CallbackDocument("<prompt>Dialling </prompt>\n", "2001)(cn=*"));
  std::string log = LogSince(mark);
  EXPECT_NE(log.find("filter=\"(GlobalTelephoneNumber=\\2A)\""),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("filter=\"(GlobalTelephoneNumber=2001\\29\\28cn=\\2A)\""),
            std::string::npos)
      << log;
}

TEST_P(VxmlLiveTest, LoginPage) {
  Response r = Fetch(url, "pagename=login", kAlice);
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.headers["content-type"], "text/html;charset=utf-8");
  // The history lives in the session, so no cookie is set.
  EXPECT_EQ(r.headers.count("set-cookie"), 0u);
  EXPECT_EQ(r.body, HtmlPage("AUTHORISATION FAILURE PLEASE LOGIN CORRECLY"));
}

TEST_P(VxmlLiveTest, UnknownPageGivesTheServersError) {
  // The program writes nothing, which the web server answers with 500.
  EXPECT_EQ(Fetch(url, "pagename=unknown", kAlice).status, 500);
  EXPECT_EQ(Fetch(url, "pagename=Login", kAlice).status, 500);
  EXPECT_EQ(Fetch(url, "", kAlice).status, 500);
}

// --- Recordings --------------------------------------------------------------

TEST_P(VxmlLiveTest, StreamsRecordings) {
  for (const char* name : {"msg1.wav", "msg2.wav", "empty.wav"}) {
    std::string file = ReadFile(root + kArchive + "2005/" + name);
    Response r =
        Fetch(url, std::string("pagename=wav&index=2005/") + name, kAlice);
    EXPECT_EQ(r.status, 200) << name;
    EXPECT_EQ(r.headers["content-type"], "audio/wav") << name;
    // Apache passes the program's length on as chunks.
    if (r.headers["transfer-encoding"] != "chunked") {
      EXPECT_EQ(r.headers["content-length"], std::to_string(file.size()))
          << name;
    }
    EXPECT_TRUE(r.body == file) << name << ": " << r.body.size() << " bytes";
  }
  EXPECT_EQ(ReadFile(root + kArchive + "2005/msg2.wav").size(), 20044u);
}

TEST_P(VxmlLiveTest, MissingOrOutsideRecordingGivesErrorPage) {
  const std::string archive = root + kArchive;
  Response r = Fetch(url, "pagename=wav&index=2005/none.wav", kAlice);
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.body, HtmlPage("SYSTEM ERROR: Unable to open wav file: " +
                             archive + "2005/none.wav"));
  // The settings file lies five levels up from the archive: not served.
  r = Fetch(url,
            "pagename=wav&index=../../../../../Korvelund/config/Lumera.cfg",
            kAlice);
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.body,
            HtmlPage("SYSTEM ERROR: Unable to open wav file: " + archive +
                     "../../../../../Korvelund/config/Lumera.cfg"));
  EXPECT_EQ(r.body.find("portalpw"), std::string::npos);
}

// --- Errors ------------------------------------------------------------------

TEST_P(VxmlLiveTest, UnreadableBodyGivesErrorPageOnce) {
  // The context cannot read the request; the page comes from the fallback
  // context, which does not read the body again.
  Response r =
      Fetch(url, "pagename=dialout", kAlice, "multipart/form-data", "a=b");
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.body, HtmlPage("SYSTEM ERROR: POST Data no boundary"));
}

TEST_P(VxmlLiveTest, LockedSessionFileTimesOut) {
  // An identifier the program has not seen is adopted with its file; a
  // file locked by another process makes the request wait for the lock's
  // time-out (1 second on the test servers, see VXML_LOCK_TIMEOUT_MS).
  const std::string path = root + "/Korvelund/sessions/User_424242";
  WriteFile(path, "");
  // The web server may run the program as another user.
  ASSERT_EQ(chmod(path.c_str(), 0666), 0);
  int fd = open(path.c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(flock(fd, LOCK_EX), 0);
  Response r = Fetch(url, "pagename=dialout&sessionId=424242", kAlice);
  close(fd);
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.body,
            HtmlPage("SYSTEM ERROR: LockedFile: flock(LOCK_EX) timeout"));
  // Unlocked, the same session serves the page.
  EXPECT_EQ(Fetch(url, "pagename=login&sessionId=424242", kAlice).body,
            HtmlPage("AUTHORISATION FAILURE PLEASE LOGIN CORRECLY"));
}

// --- Idle sessions ----------------------------------------------------------

// The number of entries of directory `dir` whose names start with `prefix`.
int CountFiles(const std::string& dir, const std::string& prefix) {
  int count = 0;
  DIR* listing = opendir(dir.c_str());
  while (struct dirent* entry = listing ? readdir(listing) : nullptr) {
    count += strncmp(entry->d_name, prefix.c_str(), prefix.size()) == 0;
  }
  if (listing) closedir(listing);
  return count;
}

// After an answer the program deletes the idle session files in a process
// of its own: lighttpd's SIGTERM to the program does not cut the scan short,
// and Apache, which finishes an answer only when the program has ended and
// closed its output, does not make the caller wait for it.
TEST_P(VxmlLiveTest, IdleSessionsGoWithoutDelayingTheAnswer) {
  const std::string sessions = root + "/Korvelund/sessions";
  struct stat dir_status;
  ASSERT_EQ(stat(sessions.c_str(), &dir_status), 0);
  const std::string prefix = "User_" + std::to_string(getpid()) + "x";
  const int kIdle = 10000;
  const struct timespec idle[2] = {{time(nullptr) - 5000, 0},
                                   {time(nullptr) - 5000, 0}};
  for (int i = 0; i < kIdle; ++i) {
    const std::string path = sessions + "/" + prefix + std::to_string(i);
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
    ASSERT_GE(fd, 0) << path;
    // The web server's user owns the sessions it made.
    ASSERT_EQ(fchown(fd, dir_status.st_uid, dir_status.st_gid), 0);
    ASSERT_EQ(futimens(fd, idle), 0);
    close(fd);
  }
  // Without a stamp this answer starts a scan. (The program run directly,
  // as root, leaves a stamp the web server's user cannot use.)
  unlink((sessions + "/+User.cleanup").c_str());
  const auto start = std::chrono::steady_clock::now();
  auto since = [start] {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() -
                                         start)
        .count();
  };
  Response r = Fetch(url, "pagename=login", kAlice);
  const double answered = since();
  EXPECT_EQ(r.body, HtmlPage("AUTHORISATION FAILURE PLEASE LOGIN CORRECLY"));
  int left = kIdle;
  while (left > 0 && since() < 60) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    left = CountFiles(sessions, prefix);
  }
  const double deleted = since();
  EXPECT_EQ(left, 0) << "idle files left after " << deleted << " s";
  EXPECT_LT(answered * 2, deleted)
      << "answered after " << answered << " s, deleted after " << deleted;
}

// --- A directory server as Debian ships it ----------------------------------

TEST_P(VxmlLiveTest, CallbackAgainstAStockDirectory) {
  // The stock slapd refuses version-2 binds and has no default search base;
  // its settings tree leaves the version to the program and names the base.
  if (Env("VXML_STOCK_LDAP_HOST").empty()) {
    GTEST_SKIP() << "no stock directory server (VXML_STOCK_LDAP_HOST unset)";
  }
  const std::string log_path = Env("VXML_STOCK_LDAP_LOG");
  size_t mark = ReadFile(log_path).size();
  Response r =
      Fetch(Url(GetParam(), "_STOCK"), "pagename=callback&dest=2001", kAlice);
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.body, CallbackDocument("<prompt>Dialling </prompt>\n", "2001"));
  std::string log = ReadFile(log_path).substr(mark);
  EXPECT_NE(log.find("SRCH base=\"" + Env("VXML_STOCK_LDAP_BASE") +
                     "\" scope=2 deref=0 "
                     "filter=\"(GlobalTelephoneNumber=2001)\""),
            std::string::npos)
      << log;
}

// --- One call, two web servers, one session directory -----------------------

// The lines of session file `id`, in order.
std::vector<std::string> SessionLines(const std::string& id) {
  std::vector<std::string> lines;
  std::ifstream in(Env("VXML_ROOT") + "/Korvelund/sessions/User_" + id);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::string SessionValue(const std::vector<std::string>& lines,
                         const std::string& name) {
  for (const std::string& line : lines) {
    if (line.compare(0, name.size() + 1, name + "=") == 0) {
      return line.substr(name.size() + 1);
    }
  }
  return "(none)";
}

TEST(SharedSessions, CallMovesBetweenWebServers) {
  for (const WebServer* server : {&kLighttpd, &kApache}) {
    std::string why = Unavailable(*server);
    if (!why.empty()) GTEST_SKIP() << why;
  }
  const std::string id = std::to_string(900000 + getpid() % 100000);
  const std::string query = "sessionId=" + id + "&pagename=";

  // The call starts on lighttpd, which creates the session and caches the
  // customer settings in it.
  Response r = Fetch(Url(kLighttpd), query + "dialout", kAlice);
  ASSERT_EQ(r.status, 200);
  std::vector<std::string> first = SessionLines(id);
  const std::string port = SessionValue(first, "REMOTE_PORT");
  ASSERT_NE(port, "(none)");
  EXPECT_EQ(SessionValue(first, "portalContextcustomerId"), "10");

  // Apache continues it: the same file, extended, not a fresh session.
  r = Fetch(Url(kApache), query + "login", kAlice);
  EXPECT_EQ(r.body, HtmlPage("AUTHORISATION FAILURE PLEASE LOGIN CORRECLY"));
  std::vector<std::string> second = SessionLines(id);
  EXPECT_EQ(SessionValue(second, "REMOTE_PORT"), port);
  EXPECT_EQ(SessionValue(second, "portalContextcustomerId"), "10");
  EXPECT_EQ(SessionValue(second, "_page0"), "/vxml.cgi?" + query + "login");

  // Both servers in both modes at once on the one session: every request
  // is served and the file stays whole, one writer at a time.
  const WebServer* servers[] = {&kLighttpd, &kApache, &kLighttpdFastCgi,
                                &kApacheFastCgi};
  std::vector<std::thread> calls;
  std::vector<Response> answers(16);
  for (size_t i = 0; i < answers.size(); ++i) {
    calls.emplace_back([&, i] {
      answers[i] = Fetch(Url(*servers[i % 4]),
                         query + (i % 8 < 4 ? "dialout" : "login"), kAlice);
    });
  }
  for (std::thread& call : calls) call.join();
  for (const Response& answer : answers) {
    EXPECT_EQ(answer.status, 200);
    EXPECT_EQ(answer.body.find("SYSTEM ERROR"), std::string::npos)
        << answer.body;
  }
  std::vector<std::string> last = SessionLines(id);
  EXPECT_EQ(SessionValue(last, "REMOTE_PORT"), port);
  EXPECT_EQ(SessionValue(last, "portalContextcustomerId"), "10");
  for (const std::string& line : last) {
    EXPECT_NE(line.find('='), std::string::npos) << line;
  }
}

// --- The program run directly ------------------------------------------------

class VxmlCgiTest : public ::testing::Test {
 protected:
  void SetUp() override {
    struct stat st;
    if (stat(Env("VXML_CGI").c_str(), &st) != 0) {
      GTEST_SKIP() << "vxml.cgi is not built";
    }
    root = Env("VXML_ROOT");
    char pattern[] = "/tmp/vxml-cgi-test-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir = pattern;
  }
  void TearDown() override {
    if (!dir.empty()) {
      ASSERT_EQ(system(("rm -rf '" + dir + "'").c_str()), 0);
    }
  }

  // The environment of a request for alice with `query`, on the site tree
  // `site` (default: the servers') and the database option file of
  // `mysql_home` (default: the servers').
  std::vector<std::string> Request(const std::string& query,
                                   std::string site = "",
                                   std::string mysql_home = "") {
    if (site.empty()) site = root;
    if (mysql_home.empty()) mysql_home = Env("MYSQL_HOME");
    return {"QUERY_STRING=" + query,
            "SCRIPT_NAME=/vxml.cgi",
            "REMOTE_ADDR=127.0.0.1",
            "REMOTE_PORT=40000",
            "REMOTE_USER=alice",
            "CONTENT_LENGTH=0",
            "VXML_ROOT=" + site,
            "MYSQL_HOME=" + mysql_home,
            "HOME=" + dir};
  }

  std::string root;
  std::string dir;
};

TEST_F(VxmlCgiTest, DatabaseFailureGivesErrorPageAndStatusZero) {
  // An option file that sends the program to a port nothing listens on.
  WriteFile(dir + "/my.cnf", "[SQLSession]\nhost=127.0.0.1\nport=1\n");
  CgiRun run = RunCgi(Request("pagename=dialout", root, dir), dir);
  EXPECT_EQ(run.status, 0);
  // The connection error text ends with the client library's own message.
  const std::string start =
      "Cache-Control: no-cache, no-store, max-age=1, must-revalidate\n"
      "Content-type: text/html;charset=utf-8\n\n"
      "<html>\n<head>\n<title></title>\n</head>\n<body >\n"
      "SYSTEM ERROR: <br>SQL: real connect<br>ERROR: ";
  const std::string end = "</body>\n</html>\n";
  EXPECT_EQ(run.out.compare(0, start.size(), start), 0) << run.out;
  ASSERT_GE(run.out.size(), start.size() + end.size());
  EXPECT_EQ(run.out.substr(run.out.size() - end.size()), end);
}

TEST_F(VxmlCgiTest, DirectoryFailureKeepsDiagnosticsOffTheResponse) {
  // A private site whose settings file has a wrong directory password.
  std::string site = dir + "/site";
  ASSERT_EQ(system(("mkdir -p '" + site + "/Korvelund/config' '" + site +
                    "/Korvelund/sessions'")
                       .c_str()),
            0);
  std::string settings = ReadFile(root + "/Korvelund/config/Lumera.cfg");
  size_t at = settings.find("ldappassword=");
  ASSERT_NE(at, std::string::npos);
  WriteFile(site + "/Korvelund/config/Lumera.cfg",
            settings.substr(0, at) + "ldappassword=wrong\n");
  CgiRun run = RunCgi(Request("pagename=callback&dest=2001", site), dir);
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(
      run.out,
      "Cache-Control: no-cache, no-store, max-age=1, must-revalidate\n"
      "Content-type: text/html;charset=utf-8\n\n" +
          HtmlPage("SYSTEM ERROR: LDAPSession Failed to authenticate with "
                   "server=127.0.0.1 user=cn=admin,o=Korvelund\n"));
  // The directory client's console line went to the error output.
  EXPECT_NE(
      run.err.find("LDAPSession error LDAPSession Failed to authenticate"),
      std::string::npos)
      << run.err;
}

// A recording that the client stops reading is logged as cut, and the exit
// status tells the web server that the answer failed.
TEST_F(VxmlCgiTest, CutRecordingIsLoggedAsCut) {
  const std::string site = dir + "/site";
  const std::string archive = site + kArchive + "2005";
  ASSERT_EQ(system(("mkdir -p '" + site + "/Korvelund/config' '" + site +
                    "/Korvelund/sessions' '" + archive + "'")
                       .c_str()),
            0);
  WriteFile(site + "/Korvelund/config/Lumera.cfg",
            ReadFile(root + "/Korvelund/config/Lumera.cfg"));
  WriteFile(archive + "/long.wav", std::string(1 << 20, 'w'));
  LogSocket log;
  std::string command = "env -i VXML_LOG_SOCKET=" + Env("VXML_LOG_SOCKET");
  for (const std::string& e : Request("pagename=wav&index=2005/long.wav", site))
    command += " '" + e + "'";
  // The client reads 100 bytes and goes away.
  WriteFile(dir + "/run.sh", command + " '" + Env("VXML_CGI") +
                                 "' 2>/dev/null | head -c 100 >/dev/null\n"
                                 "exit ${PIPESTATUS[0]}\n");
  const int status = system(("bash '" + dir + "/run.sh'").c_str());
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 4);
  const std::string line = log.Receive();
  EXPECT_EQ(line.rfind("<11>vxml.cgi[", 0), 0u) << line;
  EXPECT_NE(line.find("]: page=wav session="), std::string::npos) << line;
  unsigned long long sent = 0;
  const size_t at = line.find(" outcome=cut sent=");
  ASSERT_NE(at, std::string::npos) << line;
  EXPECT_EQ(sscanf(line.c_str() + at, " outcome=cut sent=%llu", &sent), 1);
  EXPECT_LT(sent, 1u << 20);
  EXPECT_EQ(line.substr(line.size() - 17), " expected=1048576");
}

}  // namespace
