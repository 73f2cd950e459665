// The program end to end: requests through the web server of the test
// servers (lighttpd running vxml.cgi against the seeded directory and
// portal database), and the program run directly as a CGI where a request
// needs a broken configuration. tests/servers/README.md describes the
// servers, their data and the environment these tests get.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <string>
#include <vector>

namespace {

std::string Env(const char* name) {
  const char* value = getenv(name);
  return value != nullptr ? value : "";
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteFile(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary);
  out << content;
}

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

// What the program wrote and its exit status when run directly.
struct CgiRun {
  int status = -1;
  std::string out;
  std::string err;
};

// Runs the program as the web server runs it for a GET request: the
// environment `env` only, no input, in the working directory `dir`.
CgiRun RunCgi(const std::vector<std::string>& env, const std::string& dir) {
  CgiRun run;
  const std::string out_path = dir + "/cgi.out", err_path = dir + "/cgi.err";
  std::string program = Env("VXML_CGI");
  pid_t pid = fork();
  if (pid == 0) {
    std::vector<char*> envp;
    for (const std::string& e : env)
      envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);
    int in = open("/dev/null", O_RDONLY);
    int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (in < 0 || out < 0 || err < 0 || chdir(dir.c_str()) != 0) _exit(127);
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
    char* argv[] = {const_cast<char*>("vxml.cgi"), nullptr};
    execve(program.c_str(), argv, envp.data());
    _exit(127);
  }
  int status = 0;
  if (pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status)) {
    run.status = WEXITSTATUS(status);
  }
  run.out = ReadFile(out_path);
  run.err = ReadFile(err_path);
  return run;
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

class VxmlLiveTest : public ::testing::Test {
 protected:
  void SetUp() override {
    url = Env("VXML_HTTP_URL");
    root = Env("VXML_ROOT");
    struct stat st;
    if (url.empty() || stat(Env("VXML_CGI").c_str(), &st) != 0) {
      GTEST_SKIP()
          << "the web server does not run vxml.cgi (VXML_CGI not built)";
    }
  }

  // slapd's log from the current end on: what the requests since then did.
  size_t LogMark() { return ReadFile(Env("VXML_LDAP_LOG")).size(); }
  std::string LogSince(size_t mark) {
    return ReadFile(Env("VXML_LDAP_LOG")).substr(mark);
  }

  std::string url;
  std::string root;
};

// --- Voice pages through the web server --------------------------------------

TEST_F(VxmlLiveTest, DialoutMenu) {
  Response r = Fetch(url, "pagename=dialout", kAlice);
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.headers["content-type"], "text/plain");
  EXPECT_EQ(r.headers["cache-control"],
            "no-cache, no-store, max-age=1, must-revalidate");
  EXPECT_EQ(r.body,
            std::string(kDocumentStart) +
                "<menu id=\"menu\">\n"
                "<property name=\"inputmodes\" value=\"dtmf\"/>\n"
                "<prompt>hello</prompt>\n"
                "<prompt>Press 1 to be called back on the number you are "
                "calling from.</prompt>\n"
                "<prompt>Press 2 to enter the number to call back.</prompt>\n"
                "<choice dtmf=\"1\" next=\"vxml.cgi?pagename=dialout&amp;"
                "cmd=submit&amp;s=2002&amp;t=2001&amp;o=2002\"/>\n"
                "<choice dtmf=\"2\" next=\"vxml.cgi?pagename=dialout&amp;"
                "cmd=getnum&amp;s=2002&amp;t=2001&amp;o=2002\"/>\n"
                "</menu>\n"
                "<form id=\"mydisconnect\">\n<block>\n<disconnect/>\n</block>\n"
                "</form>\n</vxml>\n");
}

TEST_F(VxmlLiveTest, CallbackLooksTheNumberUpInTheDirectory) {
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
  EXPECT_EQ(Fetch(Env("VXML_HTTP_GREETING_URL"), "pagename=callback&dest=2003",
                  kAlice)
                .body,
            CallbackDocument("<audio src=\"dialling.wav\"/>\n", "2003"));
  EXPECT_EQ(Fetch(url, "pagename=callback&dest=9999", kAlice).body,
            CallbackDocument("<prompt>Dialling </prompt>\n", "9999"));
}

TEST_F(VxmlLiveTest, CallbackDestinationStaysOneFilterValue) {
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

TEST_F(VxmlLiveTest, LoginPage) {
  Response r = Fetch(url, "pagename=login", kAlice);
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.headers["content-type"], "text/html;charset=utf-8");
  // The history lives in the session, so no cookie is set.
  EXPECT_EQ(r.headers.count("set-cookie"), 0u);
  EXPECT_EQ(r.body, HtmlPage("AUTHORISATION FAILURE PLEASE LOGIN CORRECLY"));
}

TEST_F(VxmlLiveTest, UnknownPageGivesTheServersError) {
  // The program writes nothing, which the web server answers with 500.
  EXPECT_EQ(Fetch(url, "pagename=unknown", kAlice).status, 500);
  EXPECT_EQ(Fetch(url, "pagename=Login", kAlice).status, 500);
  EXPECT_EQ(Fetch(url, "", kAlice).status, 500);
}

// --- Recordings --------------------------------------------------------------

TEST_F(VxmlLiveTest, StreamsRecordings) {
  for (const char* name : {"msg1.wav", "msg2.wav", "empty.wav"}) {
    std::string file = ReadFile(root + kArchive + "2005/" + name);
    Response r =
        Fetch(url, std::string("pagename=wav&index=2005/") + name, kAlice);
    EXPECT_EQ(r.status, 200) << name;
    EXPECT_EQ(r.headers["content-type"], "audio/wav") << name;
    EXPECT_EQ(r.headers["content-length"], std::to_string(file.size())) << name;
    EXPECT_TRUE(r.body == file) << name << ": " << r.body.size() << " bytes";
  }
  EXPECT_EQ(ReadFile(root + kArchive + "2005/msg2.wav").size(), 20044u);
}

TEST_F(VxmlLiveTest, MissingOrOutsideRecordingGivesErrorPage) {
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

TEST_F(VxmlLiveTest, UnreadableBodyGivesErrorPageOnce) {
  // The context cannot read the request; the page comes from the fallback
  // context, which does not read the body again.
  Response r =
      Fetch(url, "pagename=dialout", kAlice, "multipart/form-data", "a=b");
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.body, HtmlPage("SYSTEM ERROR: POST Data no boundary"));
}

TEST_F(VxmlLiveTest, LockedSessionFileTimesOut) {
  // An identifier the program has not seen is adopted with its file; a
  // file locked by another process makes the request wait 10 seconds.
  const std::string path = root + "/Korvelund/sessions/User_424242";
  WriteFile(path, "");
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

// --- The program run directly ------------------------------------------------

class VxmlCgiTest : public VxmlLiveTest {
 protected:
  void SetUp() override {
    VxmlLiveTest::SetUp();
    if (IsSkipped()) return;
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

}  // namespace
