// The request log line, captured as the datagram the program sends to its
// log socket, and the whole-request watchdog with a small limit, in child
// processes that a test never waits for beyond a deadline.
#include "app/RequestLog.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include "app/AnswerOutput.h"
#include "app/RequestWatchdog.h"
#include "cgiFramework/Settings.h"
#include "kernel/OSTime.h"
#include "support/LogSocket.h"

namespace {

// The part of a datagram after the syslog header "<PRI>ident[pid]: ".
std::string Message(const std::string& datagram) {
  const std::string ident = "vxml.cgi[" + std::to_string(getpid()) + "]: ";
  return datagram.substr(0, 4 + ident.size()).substr(4) == ident
             ? datagram.substr(4 + ident.size())
             : "(no ident) " + datagram;
}

TEST(RequestLogTest, OneLinePerRequestWithoutSecretsOrLineBreaks) {
  LogSocket log;
  const std::string long_error(500, 'e');
  // 159 bytes, then a character of two that would pass the limit.
  const std::string long_utf8 = std::string(159, 'e') + "\xC3\xA9";
  // 61 bytes whose escapes make 183: 53 of them fit.
  const std::string percents(61, '%');
  std::string escaped_percents;
  for (int i = 0; i < 53; ++i) escaped_percents += "%25";
  struct {
    const char* page;
    const char* session;
    const char* error;
    uint64_t body_sent;
    uint64_t body_expected;
    const char* priority;
    std::string message;
  } cases[] = {
      {"dialout", "83749201", "", 0, 0, "<14>",
       "page=dialout session=8374 ms=42 bytes=1030 outcome=ok"},
      {"", "", "SQL: real connect<br>ERROR: Can't\nconnect", 0, 0, "<11>",
       "page=- session=- ms=42 bytes=1030 outcome=SQL:%20real%20"
       "connect<br>ERROR:%20Can't%0Aconnect"},
      {"a b\nc", "12", "x", 0, 0, "<11>",
       "page=a%20b%0Ac session=12 ms=42 bytes=1030 outcome=x"},
      {"wav", "1", long_error.c_str(), 0, 0, "<11>",
       "page=wav session=1 ms=42 bytes=1030 outcome=" + std::string(160, 'e')},
      // A value cannot add a field of its own.
      {"wav", "1=2", "x ms=1 bytes=999 outcome=ok", 0, 0, "<11>",
       "page=wav session=1%3D ms=42 bytes=1030 "
       "outcome=x%20ms%3D1%20bytes%3D999%20outcome%3Dok"},
      // Line separators, C1 controls, stray bytes and "%" are escaped; other
      // UTF-8 passes.
      {"a\xE2\x80\xA8"
       "b\xC2\x85"
       "c\xE2\x80\xA9"
       "d\xFF\xC3(%\xC3\xA9",
       "", "", 0, 0, "<14>",
       "page=a%E2%80%A8b%C2%85c%E2%80%A9d%FF%C3(%25\xC3\xA9 session=- ms=42 "
       "bytes=1030 outcome=ok"},
      // Cuts fall between characters, escapes included.
      {percents.c_str(), "", long_utf8.c_str(), 0, 0, "<11>",
       "page=" + escaped_percents +
           " session=- ms=42 bytes=1030 outcome=" + std::string(159, 'e')},
      // A recording cut short.
      {"wav", "1", "", 1000, 3000, "<11>",
       "page=wav session=1 ms=42 bytes=1030 outcome=cut sent=1000 "
       "expected=3000"},
      {"wav", "1", "", 3000, 3000, "<14>",
       "page=wav session=1 ms=42 bytes=1030 outcome=ok"},
  };
  for (const auto& c : cases) {
    RequestOutcome outcome;
    outcome.page = c.page;
    outcome.session_id = c.session;
    outcome.error = c.error;
    outcome.bytes = 1030;
    outcome.body_sent = c.body_sent;
    outcome.body_expected = c.body_expected;
    ASSERT_TRUE(RequestLog::Write(outcome, 42));
    const std::string datagram = log.Receive();
    EXPECT_EQ(datagram.substr(0, 4), c.priority);
    EXPECT_EQ(Message(datagram), c.message);
  }
}

TEST(RequestLogTest, SettingTurnsItOff) {
  LogSocket log;
  for (const char* value : {"off", "OFF", "0", "no"}) {
    EXPECT_TRUE(IsOffSetting(value)) << value;
  }
  for (const char* value : {"", "on", "yes", "1"}) {
    EXPECT_FALSE(IsOffSetting(value)) << value;
  }
  RequestOutcome outcome;
  outcome.log = false;
  EXPECT_FALSE(RequestLog::Write(outcome, 1));
  EXPECT_EQ(log.Receive(100), "");
}

// The program itself: one datagram per request, without the settings
// file's passwords, and none when the settings turn the log off.
TEST(RequestLogTest, ProgramLogsEachRequest) {
  const std::string program = VXML_BINARY_DIR "/vxml.cgi";
  ASSERT_EQ(access(program.c_str(), X_OK), 0) << "build vxml.cgi first";
  char dir[] = "/tmp/vxml-logrun-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string root = dir;
  ASSERT_EQ(system(("mkdir -p " + root + "/Korvelund/config " + root +
                    "/Korvelund/sessions " + root + "/my")
                       .c_str()),
            0);
  // The database port is closed, so the page fails at once.
  std::ofstream(root + "/my/my.cnf") << "[SQLSession]\nport=1\n";
  LogSocket log;
  for (const char* extra : {"", "requestlog=off\n"}) {
    std::ofstream(root + "/Korvelund/config/Lumera.cfg")
        << "serverAddress=127.0.0.1\nuser=portal\npassword=sekrit\n"
        << "ldappassword=ldsekrit\n"
        << extra;
    const std::string command =
        "env -i VXML_ROOT=" + root + " MYSQL_HOME=" + root +
        "/my HOME=" + root + " VXML_LOG_SOCKET=" + getenv("VXML_LOG_SOCKET") +
        " QUERY_STRING='pagename=dialout&password=sekrit' " + program + " > " +
        root + "/out 2>/dev/null";
    ASSERT_EQ(system(command.c_str()), 0);
    std::ifstream in(root + "/out", std::ios::binary);
    const std::string answer((std::istreambuf_iterator<char>(in)), {});
    const std::string datagram = log.Receive(*extra == '\0' ? 2000 : 200);
    if (*extra != '\0') {
      EXPECT_EQ(datagram, "");
      continue;
    }
    EXPECT_EQ(datagram.rfind("<11>vxml.cgi[", 0), 0u) << datagram;
    EXPECT_NE(datagram.find("]: page=dialout session="), std::string::npos);
    EXPECT_NE(
        datagram.find(" bytes=" + std::to_string(answer.size()) + " outcome="),
        std::string::npos)
        << datagram;
    EXPECT_NE(datagram.find("connect"), std::string::npos) << datagram;
    EXPECT_EQ(datagram.find("sekrit"), std::string::npos);
  }
  ASSERT_EQ(system(("rm -rf " + root).c_str()), 0);
}

// Waits `ms` milliseconds whatever signals arrive: a child's stand-in for a
// peer that never answers, bounded so that a broken watchdog fails its test
// rather than hanging it.
void StallFor(long ms) {
  const long end = os_monotonic_ms() + ms;
  for (long left = ms; left > 0; left = end - os_monotonic_ms()) {
    poll(nullptr, 0, static_cast<int>(left));
  }
}

// Runs `body` in a child process that exits with status 0 after it; returns
// its wait status and, in `errors`, what it wrote to standard error. A child
// silent for 10 seconds is killed and the test fails.
template <typename Body>
int InChild(Body body, std::string* errors) {
  int pipe_fds[2];
  EXPECT_EQ(pipe(pipe_fds), 0);
  fflush(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    dup2(pipe_fds[1], STDERR_FILENO);
    close(pipe_fds[0]);
    body();
    _exit(0);
  }
  close(pipe_fds[1]);
  struct pollfd input = {pipe_fds[0], POLLIN, 0};
  char buffer[512];
  ssize_t n = -1;
  while (poll(&input, 1, 10 * 1000) > 0 &&
         (n = read(pipe_fds[0], buffer, sizeof buffer)) > 0) {
    errors->append(buffer, static_cast<size_t>(n));
  }
  if (n != 0) {
    ADD_FAILURE() << "the child outlived its deadline";
    kill(pid, SIGKILL);
  }
  close(pipe_fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  return status;
}

void NoteAlarm(int) { (void)!write(STDERR_FILENO, "alarm\n", 6); }

const char kExpiredLine[] =
    "vxml.cgi: request ended by the watchdog: time limit exceeded\n";

// The watchdog ends the request after its limit, also when the parent
// process blocked its signal (the mask passes through fork and exec), and
// logs the request's line once: "timeout", or "cut" with the body's counts
// when a recording was being sent to a client that stopped reading. The web
// server's SIGTERM ends it with a line too.
TEST(RequestWatchdogTest, EndsTheRequestAfterItsLimitLeavingSIGALRMAlone) {
  EXPECT_EQ(kRequestTimeLimitMs, 30000);
  LogSocket log;
  char recording[] = "/tmp/vxml-recording-XXXXXX";
  const int file = mkstemp(recording);
  ASSERT_GE(file, 0);
  unlink(recording);
  ASSERT_EQ(ftruncate(file, 1 << 20), 0);
  int unread[2];
  ASSERT_EQ(pipe(unread), 0);
  struct {
    bool blocked;
    bool sending;
    bool terminated;
    const char* outcome;
  } cases[] = {
      {false, false, false, " bytes=7 outcome=timeout"},
      {true, false, false, " bytes=7 outcome=timeout"},
      {false, true, false, " outcome=cut sent="},
      {false, false, true, " bytes=7 outcome=terminated"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.blocked ? "blocked" : "open") + c.outcome);
    std::string errors;
    int status = InChild(
        [&] {
          dup2(unread[1], STDOUT_FILENO);
          sigset_t set;
          sigemptyset(&set);
          sigaddset(&set, SIGRTMIN);
          if (c.blocked) sigprocmask(SIG_BLOCK, &set, nullptr);
          RequestLog::Begin(os_monotonic_ms());
          RequestWatchdog watchdog(300);
          RequestOutcome outcome;
          outcome.page = "wav";
          outcome.session_id = "12345678";
          RequestLog::Prepare(outcome);
          // The session lock's time-out still arrives as SIGALRM.
          signal(SIGALRM, NoteAlarm);
          struct itimerval alarm_at = {{0, 0}, {0, 50 * 1000}};
          setitimer(ITIMER_REAL, &alarm_at, nullptr);
          StdoutAnswer::Reset();
          StdoutAnswer::Printf("head\n\n\n");
          if (c.sending) StdoutAnswer::CopyFile(file, 1 << 20);
          if (c.terminated) raise(SIGTERM);
          StallFor(5000);
        },
        &errors);
    if (c.terminated) {
      EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM);
    } else {
      ASSERT_TRUE(WIFEXITED(status));
      EXPECT_EQ(WEXITSTATUS(status), RequestWatchdog::kExitStatus);
      EXPECT_EQ(errors, std::string("alarm\n") + kExpiredLine);
    }
    const std::string datagram = log.Receive();
    ASSERT_NE(datagram.find("]: "), std::string::npos) << "no line";
    EXPECT_EQ(datagram.substr(0, 4), "<11>");
    const std::string message = datagram.substr(datagram.find("]: ") + 3);
    EXPECT_EQ(message.rfind("page=wav session=1234 ms=", 0), 0u) << message;
    EXPECT_NE(message.find(c.outcome), std::string::npos) << message;
    if (c.sending) {
      EXPECT_EQ(message.substr(message.size() - 17), " expected=1048576");
    }
    EXPECT_EQ(log.Receive(100), "") << "one line only";
  }
  close(unread[0]);
  close(unread[1]);
  close(file);

  // A request that ends in time is not touched, even after the limit.
  std::string errors;
  int status = InChild(
      [] {
        { RequestWatchdog watchdog(50); }
        StallFor(200);
      },
      &errors);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(errors, "");
}

}  // namespace
