// Session files: loading, the client-address check, new identifiers,
// saving, idle cleanup and its throttle, the lock time-out, concurrent,
// interrupted and failing saves, and files that are not plain files.
#include "cgiFramework/WebSession.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
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

// Sets the access and modification time of `path` to `when`.
void Age(const std::string& path, time_t when) {
  struct timespec times[2] = {{when, 0}, {when, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0)
      << path;
}

TEST_F(WebSessionTest, CleanupRemovesIdleFilesOnly) {
  const time_t now = 1000000;
  mkdir(File("UserDir").c_str(), 0700);
  for (const char* name : {"User_1", "User_2", "+User_3", "SuperUser_7",
                           "Other_1", "User_8", "+User_2.save"}) {
    WriteFile(File(name), "x");
  }
  ASSERT_EQ(symlink("User_1", File("User_link").c_str()), 0);
  for (const char* name : {"User_2", "+User_3", "SuperUser_7", "Other_1",
                           "UserDir", "User_8", "User_link", "+User_2.save"}) {
    Age(File(name), now - 101);
  }
  Age(File("User_1"), now - 100);  // exactly as old as allowed
  // A request holds User_8: it is in use, however old its access time.
  int busy = open(File("User_8").c_str(), O_RDONLY);
  ASSERT_EQ(flock(busy, LOCK_EX), 0);
  DeleteIdleSessionFiles(File("").c_str(), "User", 100, now);
  close(busy);
  for (const char* name : {"User_1", "+User_3", "Other_1", "UserDir", "User_8"})
    EXPECT_TRUE(Exists(name)) << name;
  for (const char* name :
       {"User_2", "+User_2.save", "SuperUser_7", "User_link"})
    EXPECT_FALSE(Exists(name)) << name;
}

// The scan after the answer runs at most once per interval, and never in
// two processes at once; InitSession itself deletes nothing.
TEST_F(WebSessionTest, IdleScansAreThrottled) {
  const std::string dir = File("");
  const time_t now = time(nullptr);
  WriteFile(File("User_1"), "x");
  Age(File("User_1"), now - 1000);
  {
    WebContext context(nullptr, nullptr);
    context.InitSession("User", 100, true);
  }
  EXPECT_TRUE(Exists("User_1"));
  WebContext::CleanupIdleSessions();  // the first scan runs at once
  EXPECT_FALSE(Exists("User_1"));
  struct stat stamp_status;
  ASSERT_EQ(stat(File("+User.cleanup").c_str(), &stamp_status), 0);
  const time_t scanned = stamp_status.st_mtime;  // when that scan began

  WriteFile(File("User_2"), "x");
  Age(File("User_2"), now - 1000);
  EXPECT_FALSE(CleanupIdleSessionFiles(dir.c_str(), "User", 100, scanned + 59));
  EXPECT_TRUE(Exists("User_2"));
  {
    // Another process is scanning: this one leaves the work to it.
    int stamp = open(File("+User.cleanup").c_str(), O_RDONLY);
    ASSERT_EQ(flock(stamp, LOCK_EX), 0);
    EXPECT_FALSE(
        CleanupIdleSessionFiles(dir.c_str(), "User", 100, scanned + 60));
    close(stamp);
  }
  EXPECT_TRUE(Exists("User_2"));
  EXPECT_TRUE(CleanupIdleSessionFiles(dir.c_str(), "User", 100, scanned + 60));
  EXPECT_FALSE(Exists("User_2"));
  EXPECT_FALSE(CleanupIdleSessionFiles(dir.c_str(), "User", 100, scanned + 61));
}

// The step at which the save in the child process is stopped.
SessionSaveStep stop_at;

void StopHere(SessionSaveStep step) {
  if (step == stop_at) _exit(0);
}

// A save killed at each step leaves either the old content or, once the side
// file is complete, the new one, which the next load finds and completes.
TEST_F(WebSessionTest, InterruptedSavesLeaveOldOrNewContent) {
  const std::string old_content = kSaved + std::string(200, 'o') + "\n";
  const std::string new_content = "REMOTE_ADDR=10.0.0.5\ntheme=new\n";
  struct {
    SessionSaveStep step;
    bool completed;  // the save is complete once the session is loaded
  } cases[] = {{SessionSaveStep::kSideWritten, false},
               {SessionSaveStep::kSideComplete, true},
               {SessionSaveStep::kFileWritten, true},
               {SessionSaveStep::kFileComplete, true}};
  setenv("QUERY_STRING", "sessionId=42", 1);
  setenv("REMOTE_ADDR", "10.0.0.5", 1);
  for (const auto& c : cases) {
    int step = static_cast<int>(c.step);
    WriteFile(File("User_42"), old_content);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      stop_at = c.step;
      session_save_hook = StopHere;
      {
        WebContext context(nullptr, nullptr);
        context.InitSession("User", 0, true);
        context.session_vars.Flush();
        context.SetWebSessionVar("REMOTE_ADDR", "10.0.0.5");
        context.SetWebSessionVar("theme", "new");
      }
      _exit(2);  // the save did not reach the step
    }
    int status;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_EQ(status, 0) << step;
    std::string torn = ReadFile(File("User_42"));
    if (c.step == SessionSaveStep::kFileWritten) {
      EXPECT_NE(torn, old_content);
      EXPECT_NE(torn, new_content);
    }
    WebContext context(nullptr, nullptr);
    context.InitSession("User", 0, true);
    EXPECT_TRUE(context.GetWebSessionVar("theme") ==
                (c.completed ? "new" : "dark"))
        << step;
    EXPECT_EQ(ReadFile(File("User_42")),
              c.completed ? new_content : old_content)
        << step;
    EXPECT_FALSE(Exists("+User_42.save")) << step;
  }
}

// A disk that takes no more fails the save before the session file is
// touched, and says so.
TEST_F(WebSessionTest, FullDiskKeepsTheOldContent) {
  WriteFile(File("User_42"), kSaved);
  setenv("QUERY_STRING", "sessionId=42", 1);
  setenv("REMOTE_ADDR", "10.0.0.5", 1);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    signal(SIGXFSZ, SIG_IGN);
    struct rlimit limit = {1000, RLIM_INFINITY};
    getrlimit(RLIMIT_FSIZE, &limit);
    limit.rlim_cur = 1000;
    if (setrlimit(RLIMIT_FSIZE, &limit) != 0) _exit(3);
    try {
      WebContext context(nullptr, nullptr);
      context.InitSession("User", 0, true);
      context.SetWebSessionVar("big", std::string(5000, 'b').c_str());
    } catch (const char* text) {
      _exit(strcmp(text, "Unable to write session file") == 0 ? 0 : 4);
    }
    _exit(5);
  }
  int status;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(ReadFile(File("User_42")), kSaved);
  EXPECT_FALSE(Exists("+User_42.save"));
  EXPECT_FALSE(Exists("+User_42.save.tmp"));
}

// A session file that is a link or a FIFO is never followed, read or
// written, and never blocks: the request gets the LockedFile error.
TEST_F(WebSessionTest, LinksAndFifosAreRefused) {
  const std::string target = Site("/secret");
  setenv("QUERY_STRING", "sessionId=42", 1);
  for (int kind = 0; kind < 3; ++kind) {
    WriteFile(target, "REMOTE_ADDR=\npassword=x\n");
    const std::string file = File("User_42");
    unlink(file.c_str());
    if (kind == 0) {
      ASSERT_EQ(symlink(target.c_str(), file.c_str()), 0);
    } else if (kind == 1) {
      ASSERT_EQ(mkfifo(file.c_str(), 0600), 0);
    } else {
      WriteFile(file, "REMOTE_ADDR=\n");
    }
    std::string thrown;
    try {
      WebContext context(nullptr, nullptr);
      context.InitSession("User", 0, true);
      context.SetWebSessionVar("password", "stolen");
      if (kind == 2) {
        // Replaced by a link between the load and the save.
        unlink(file.c_str());
        ASSERT_EQ(symlink(target.c_str(), file.c_str()), 0);
      }
    } catch (const char* text) {
      thrown = text;
    }
    EXPECT_EQ(thrown, "LockedFile: not a regular file") << kind;
    EXPECT_EQ(ReadFile(target), "REMOTE_ADDR=\npassword=x\n") << kind;
  }
}

// Another process holds the session's lock for longer than the lock
// time-out (shortened here to half a second; a load that outwaits the holder
// fails the test). The load fails after the time-out with its text, and the
// end of the request leaves the file as it was.
TEST_F(WebSessionTest, LockTimeoutLeavesTheSessionAlone) {
  WriteFile(File("User_5"), "REMOTE_ADDR=\nkeep=me\n");
  pid_t holder = HoldLock(File("User_5"), 5000);
  ASSERT_GT(holder, 0);
  setenv("QUERY_STRING", "sessionId=5", 1);
  LockedFile::SetLockTimeout(500);
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
    LockedFile::SetLockTimeout(LockedFile::kLockTimeoutMs);
    EXPECT_EQ(thrown, "LockedFile: flock(LOCK_EX) timeout");
    EXPECT_GE(waited.count(), 0.45);
    EXPECT_LT(waited.count(), 1.5);
    context.SetWebSessionVar("keep", "overwritten");
    int status;
    kill(holder, SIGKILL);
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
