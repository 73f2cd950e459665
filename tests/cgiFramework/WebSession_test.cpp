// Session files: loading, the client-address check, new identifiers,
// saving, idle cleanup, the lock time-out and concurrent saves.
#include "cgiFramework/WebSession.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>

#include "cgiFramework/LockedFile.h"
#include "cgiFramework/WebContext.h"
#include "tests/cgiFramework/WebTestSupport.h"

namespace {

class WebSessionTest : public webtest::SiteFixture {
 protected:
  std::string File(const std::string& name) const {
    return Site("/Korvelund/sessions/" + name);
  }
  bool Exists(const std::string& name) const {
    struct stat st;
    return stat(File(name).c_str(), &st) == 0;
  }
};

std::string Text(UString& s) { return static_cast<char*>(s); }

const char kSaved[] = "REMOTE_ADDR=10.0.0.5\nREMOTE_PORT=40000\ntheme=dark\n";

TEST_F(WebSessionTest, LoadsTheSessionOfThisAddress) {
  WriteFile(File("User_42"), kSaved);
  setenv("QUERY_STRING", "sessionId=42", 1);
  setenv("REMOTE_ADDR", "10.0.0.5", 1);
  {
    WebContext context(nullptr, nullptr);
    context.session_prefix = "User";
    EXPECT_TRUE(context.ScanWebSessionVars(nullptr));
    EXPECT_EQ(context.session_vars.Size(), 3);
    EXPECT_TRUE(context.GetWebSessionVar("theme") == "dark");
    context.SetWebSessionVar("theme", "light");
    context.SetWebSessionVar("count", 3);
  }
  EXPECT_EQ(ReadFile(File("User_42")),
            "REMOTE_ADDR=10.0.0.5\nREMOTE_PORT=40000\ntheme=light\ncount=3\n");
}

TEST_F(WebSessionTest, AnotherAddressIsRefusedAndGetsItsOwnSession) {
  WriteFile(File("User_42"), kSaved);
  setenv("QUERY_STRING", "sessionId=42", 1);
  setenv("REMOTE_ADDR", "10.0.0.6", 1);
  std::string new_id;
  {
    WebContext context(nullptr, nullptr);
    context.session_prefix = "User";
    testing::internal::CaptureStderr();
    EXPECT_FALSE(context.ScanWebSessionVars(nullptr));
    EXPECT_EQ(
        testing::internal::GetCapturedStderr(),
        "WebContext::Invalid " + File("User_42") + " saved addr=10.0.0.5 \n");
    WebArgument& invalid = context["invalidSessionId"];
    EXPECT_TRUE(invalid == "42");
    EXPECT_EQ(invalid.type, WebArgument::Hidden);
    EXPECT_FALSE(context.HasWebSessionVar("theme"));
    new_id = Text(context.session_id);
    EXPECT_TRUE(context["sessionId"] == new_id.c_str());
    context.SetWebSessionVar("theme", "stolen");
  }
  EXPECT_EQ(ReadFile(File("User_42")), kSaved);
  EXPECT_EQ(ReadFile(File("User_" + new_id)),
            "REMOTE_ADDR=10.0.0.6\nREMOTE_PORT=\ntheme=stolen\n");
}

TEST_F(WebSessionTest, FileFormatRoundTrip) {
  setenv("REMOTE_ADDR", "10.1.1.1", 1);
  setenv("REMOTE_PORT", "5555", 1);
  std::string id;
  {
    WebContext context(nullptr, nullptr);
    context.InitSession("User", 0, true);
    EXPECT_TRUE(context.session_id.IsEmpty());  // made on first use
    context.SetWebSessionVar("eq", "a=b=c");
    context.SetWebSessionVar("plain", "C:/dir x");
    context.GetWebSessionVar("") = "not written";
    id = Text(context.session_id);
  }
  EXPECT_EQ(ReadFile(File("User_" + id)),
            "REMOTE_ADDR=10.1.1.1\nREMOTE_PORT=5555\neq=a=b=c\n"
            "plain=C:/dir x\n");
  setenv("QUERY_STRING", ("sessionId=" + id).c_str(), 1);
  WebContext again(nullptr, nullptr);
  again.InitSession("User", 0, true);
  EXPECT_EQ(again.session_vars.Size(), 4);
  EXPECT_TRUE(again.GetWebSessionVar("eq") == "a=b=c");
  EXPECT_TRUE(again.GetWebSessionVar("plain") == "C:/dir x");
}

// Texts from the request end up in session variables (the page history
// keeps whole URLs): a line end in a value is written percent-encoded, so no
// value can add variables of its own to the file, and long lines come back
// whole. Everything else is written byte for byte.
TEST_F(WebSessionTest, ValuesCannotAddVariables) {
  setenv("REMOTE_ADDR", "10.1.1.1", 1);
  setenv("REMOTE_PORT", "5555", 1);
  const std::string long_value =
      std::string(2040, 'v') + "portalContextHostName=evil";
  std::string id;
  {
    WebContext context(nullptr, nullptr);
    context.InitSession("User", 0, true);
    context.SetWebSessionVar("nl", "x\nREMOTE_ADDR=1.2.3.4\r\nz");
    context.SetWebSessionVar("slash", "a\\nb\\");
    context.SetWebSessionVar("a=b", "not written");
    context.SetWebSessionVar("c\nd", "not written");
    context.SetWebSessionVar("long", long_value.c_str());
    id = Text(context.session_id);
  }
  EXPECT_EQ(ReadFile(File("User_" + id)),
            "REMOTE_ADDR=10.1.1.1\nREMOTE_PORT=5555\n"
            "nl=x%0AREMOTE_ADDR=1.2.3.4%0D%0Az\n"
            "slash=a\\nb\\\n"
            "long=" +
                long_value + "\n");

  setenv("QUERY_STRING", ("sessionId=" + id).c_str(), 1);
  WebContext again(nullptr, nullptr);
  again.InitSession("User", 0, true);
  EXPECT_EQ(again.session_vars.Size(), 5);
  EXPECT_TRUE(again.GetWebSessionVar("nl") == "x%0AREMOTE_ADDR=1.2.3.4%0D%0Az");
  EXPECT_TRUE(again.GetWebSessionVar("REMOTE_ADDR") == "10.1.1.1");
  EXPECT_TRUE(again.GetWebSessionVar("long") == long_value.c_str());
  EXPECT_FALSE(again.HasWebSessionVar("portalContextHostName"));
}

// Files written by other programs: CR LF ends a value, backslashes are
// plain bytes, a line without "=" is a name.
TEST_F(WebSessionTest, ReadsPlainLines) {
  WriteFile(File("User_42"),
            "REMOTE_ADDR=10.0.0.5\r\npath=C:\\dir\\x\\\nflag\ntail=a\\");
  setenv("QUERY_STRING", "sessionId=42", 1);
  setenv("REMOTE_ADDR", "10.0.0.5", 1);
  WebContext context(nullptr, nullptr);
  context.session_prefix = "User";
  EXPECT_TRUE(context.ScanWebSessionVars(nullptr));
  EXPECT_EQ(context.session_vars.Size(), 4);
  EXPECT_TRUE(context.GetWebSessionVar("path") == "C:\\dir\\x\\");
  EXPECT_TRUE(context.HasWebSessionVar("flag"));
  EXPECT_TRUE(context.GetWebSessionVar("tail") == "a\\");
}

TEST_F(WebSessionTest, NewIdentifiers) {
  setenv("SCRIPT_NAME", "/vxml.cgi", 1);
  std::string ids[2];
  for (std::string& id : ids) {
    WebContext context(nullptr, nullptr);
    context.InitSession("User", 0, true);
    context.SetWebSessionVar("a", 1);
    id = Text(context.session_id);
    EXPECT_LE(id.size(), 20u);
    EXPECT_EQ(id.find_first_not_of("0123456789"), std::string::npos) << id;
    EXPECT_EQ(context.GetURL(nullptr), "/vxml.cgi?sessionId=" + id);
    EXPECT_FALSE(context.HasWebCookie("sessionId"));
    struct stat st;
    ASSERT_EQ(stat(File("User_" + id).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
  }
  EXPECT_NE(ids[0], ids[1]);

  // Without arguments the identifier travels in the cookie.
  WebContext context(nullptr, nullptr);
  context.InitSession("User", 0, false);
  context.SetWebSessionVar("a", 1);
  EXPECT_FALSE(context.HasWebArgument("sessionId"));
  EXPECT_TRUE(context.GetWebCookie("sessionId").updated);
  EXPECT_EQ(Text(context.GetWebCookie("sessionId").value),
            Text(context.session_id));

  // An identifier whose file exists is never taken over by a new session.
  WriteFile(File("User_42"), kSaved);
  context.session_id = "42";
  context.CreateSessionId();
  EXPECT_NE(Text(context.session_id), "42");
  EXPECT_EQ(ReadFile(File("User_42")), kSaved);
}

TEST_F(WebSessionTest, UnknownIdentifierIsAdopted) {
  setenv("QUERY_STRING", "sessionId=77", 1);
  setenv("REMOTE_ADDR", "10.0.0.9", 1);
  {
    WebContext context(nullptr, nullptr);
    context.session_prefix = "User";
    EXPECT_FALSE(context.ScanWebSessionVars(nullptr));
    EXPECT_STREQ(context.GetWebSessionId(), "77");
  }
  EXPECT_EQ(ReadFile(File("User_77")), "REMOTE_ADDR=10.0.0.9\nREMOTE_PORT=\n");
}

TEST_F(WebSessionTest, OnlyShortDecimalIdentifiersNameFiles) {
  for (const char* id :
       {"..%2F..%2Fetc%2Fpasswd", "12a", "-5", "+5", "123456789012345678901"}) {
    setenv("QUERY_STRING", (std::string("sessionId=") + id).c_str(), 1);
    setenv("HTTP_COOKIE", (std::string("sessionId=") + id).c_str(), 1);
    WebContext context(nullptr, nullptr);
    context.InitSession("User", 0, true);
    EXPECT_TRUE(context.session_id.IsEmpty()) << id;
    EXPECT_TRUE(context["sessionId"].value.IsEmpty()) << id;
  }
  setenv("QUERY_STRING", "sessionId=12345678901234567890", 1);
  WebContext longest(nullptr, nullptr);
  longest.InitSession("User", 0, true);
  EXPECT_STREQ(longest.GetWebSessionId(), "12345678901234567890");
}

TEST_F(WebSessionTest, NothingSavedWithoutFileOrPrefix) {
  {
    WebContext deleted(nullptr, nullptr);
    deleted.InitSession("User", 0, true);
    deleted.SetWebSessionVar("a", 1);
    deleted.DeleteSession();
    WebContext no_sessions(nullptr, nullptr);
    no_sessions.SetWebSessionVar("a", 1);
    EXPECT_TRUE(no_sessions.session_id.IsEmpty());
  }
  EXPECT_EQ(rmdir(Site("/Korvelund/sessions").c_str()), 0);  // empty
}

TEST_F(WebSessionTest, CleanupRemovesIdleFilesOnly) {
  const char* kept[] = {"User_1", "+User_3", "Other_1", "UserDir"};
  const char* removed[] = {"User_2", "SuperUser_7"};
  for (int attempt = 0; attempt < 5; ++attempt) {
    time_t now = time(nullptr);
    mkdir(File("UserDir").c_str(), 0700);
    for (const char* name :
         {"User_1", "User_2", "+User_3", "SuperUser_7", "Other_1", "UserDir"}) {
      if (strcmp(name, "UserDir") != 0) WriteFile(File(name), "x");
      // User_1 is exactly as old as allowed; the others one second older.
      time_t age = now - (strcmp(name, "User_1") == 0 ? 100 : 101);
      struct timespec times[2] = {{age, 0}, {age, 0}};
      ASSERT_EQ(utimensat(AT_FDCWD, File(name).c_str(), times, 0), 0);
    }
    WebContext context(nullptr, nullptr);
    context.CleanupDir("/Korvelund/sessions", "User", 100);
    if (time(nullptr) != now) continue;  // the second changed: try again
    for (const char* name : kept) EXPECT_TRUE(Exists(name)) << name;
    for (const char* name : removed) EXPECT_FALSE(Exists(name)) << name;
    return;
  }
  FAIL() << "clock kept moving";
}

// The slow case, run once: another process holds the session's lock for 11
// seconds. The load fails after about 10 seconds with the time-out text, and
// the end of the request leaves the file as it was.
TEST_F(WebSessionTest, LockTimeoutLeavesTheSessionAlone) {
  WriteFile(File("User_5"), "REMOTE_ADDR=\nkeep=me\n");
  pid_t holder = HoldLock(File("User_5"), 11);
  ASSERT_GT(holder, 0);
  setenv("QUERY_STRING", "sessionId=5", 1);
  {
    WebContext context(nullptr, nullptr);
    auto start = std::chrono::steady_clock::now();
    std::string thrown;
    try {
      context.InitSession("User", 0, true);
    } catch (const char* text) {
      thrown = text;
    }
    std::chrono::duration<double> waited =
        std::chrono::steady_clock::now() - start;
    EXPECT_EQ(thrown, "LockedFile: flock(LOCK_EX) timeout");
    EXPECT_GE(waited.count(), 9.5);
    EXPECT_LT(waited.count(), 11.0);
    context.SetWebSessionVar("keep", "overwritten");
    int status;
    ASSERT_EQ(waitpid(holder, &status, 0), holder);
  }
  EXPECT_EQ(ReadFile(File("User_5")), "REMOTE_ADDR=\nkeep=me\n");
}

// Two processes load and save one session over and over while this one
// reads it under the lock: every read holds one save's complete content.
TEST_F(WebSessionTest, ConcurrentSavesNeverTear) {
  const std::string initial = "REMOTE_ADDR=\n";
  WriteFile(File("User_9"), initial);
  setenv("QUERY_STRING", "sessionId=9", 1);
  std::string saved[2] = {initial, initial};
  pid_t writers[2];
  for (int w = 0; w < 2; ++w) {
    for (int v = 0; v < 40; ++v) {
      saved[w] +=
          "v" + std::to_string(v) + "=" + std::string(500, "AB"[w]) + "\n";
    }
    writers[w] = fork();
    ASSERT_GE(writers[w], 0);
    if (writers[w] != 0) continue;
    try {
      for (int round = 0; round < 30; ++round) {
        WebContext context(nullptr, nullptr);
        context.InitSession("User", 0, true);
        for (int v = 0; v < 40; ++v) {
          context.SetWebSessionVar(("v" + std::to_string(v)).c_str(),
                                   std::string(500, "AB"[w]).c_str());
        }
      }
    } catch (const char*) {
      _exit(1);
    }
    _exit(0);
  }
  for (int finished = 0; finished < 2;) {
    {
      LockedFile file(File("User_9").c_str(), "r");
      ASSERT_NE(file.fp, nullptr);
      std::string content;
      char buf[4096];
      while (size_t n = fread(buf, 1, sizeof buf, file)) content.append(buf, n);
      EXPECT_TRUE(content == initial || content == saved[0] ||
                  content == saved[1])
          << content.size();
    }
    for (pid_t& writer : writers) {
      int status;
      if (writer > 0 && waitpid(writer, &status, WNOHANG) == writer) {
        EXPECT_EQ(status, 0);
        writer = 0;
        ++finished;
      }
    }
  }
}

}  // namespace
