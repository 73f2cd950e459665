// The request log line, captured as the datagram the program sends to its
// log socket, and the whole-request watchdog with a small limit.
#include "app/RequestLog.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include "app/RequestWatchdog.h"

namespace {

// A private log socket, named by VXML_LOG_SOCKET while the test runs.
class LogSocket {
 public:
  LogSocket() {
    char dir[] = "/tmp/vxml-log-XXXXXX";
    EXPECT_NE(mkdtemp(dir), nullptr);
    dir_ = dir;
    path_ = dir_ + "/log";
    fd_ = socket(AF_UNIX, SOCK_DGRAM, 0);
    struct sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    strcpy(address.sun_path, path_.c_str());
    EXPECT_EQ(bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address),
              0);
    setenv("VXML_LOG_SOCKET", path_.c_str(), 1);
  }
  ~LogSocket() {
    unsetenv("VXML_LOG_SOCKET");
    close(fd_);
    unlink(path_.c_str());
    rmdir(dir_.c_str());
  }

  // The next datagram, waiting up to `ms` milliseconds; "" for none.
  std::string Receive(int ms = 2000) {
    struct timeval wait = {ms / 1000, (ms % 1000) * 1000};
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    char buffer[4096];
    ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
    return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : "";
  }

 private:
  std::string dir_;
  std::string path_;
  int fd_;
};

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
  struct {
    const char* page;
    const char* session;
    const char* error;
    const char* priority;
    std::string message;
  } cases[] = {
      {"dialout", "83749201", "", "<14>",
       "page=dialout session=8374 ms=42 bytes=1030 outcome=ok"},
      {"", "", "SQL: real connect<br>ERROR: Can't\nconnect", "<11>",
       "page=- session=- ms=42 bytes=1030 outcome=SQL: real "
       "connect<br>ERROR: Can't connect"},
      {"a b\nc", "12", "x", "<11>",
       "page=a_b_c session=12 ms=42 bytes=1030 outcome=x"},
      {"wav", "1", long_error.c_str(), "<11>",
       "page=wav session=1 ms=42 bytes=1030 outcome=" + std::string(160, 'e')},
  };
  for (const auto& c : cases) {
    RequestOutcome outcome;
    outcome.page = c.page;
    outcome.session_id = c.session;
    outcome.error = c.error;
    outcome.bytes = 1030;
    ASSERT_TRUE(RequestLog::Write(outcome, 42));
    const std::string datagram = log.Receive();
    EXPECT_EQ(datagram.substr(0, 4), c.priority);
    EXPECT_EQ(Message(datagram), c.message);
  }
}

TEST(RequestLogTest, SettingTurnsItOff) {
  LogSocket log;
  for (const char* value : {"off", "OFF", "0", "no"}) {
    EXPECT_TRUE(RequestLog::IsOff(value)) << value;
  }
  for (const char* value : {"", "on", "yes", "1"}) {
    EXPECT_FALSE(RequestLog::IsOff(value)) << value;
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

// Runs `body` in a child process; returns its wait status and, in
// `errors`, what it wrote to standard error.
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
  char buffer[512];
  ssize_t n;
  while ((n = read(pipe_fds[0], buffer, sizeof buffer)) > 0) {
    errors->append(buffer, static_cast<size_t>(n));
  }
  close(pipe_fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  return status;
}

void NoteAlarm(int) { (void)!write(STDERR_FILENO, "alarm\n", 6); }

TEST(RequestWatchdogTest, EndsTheRequestAfterItsLimitLeavingSIGALRMAlone) {
  EXPECT_EQ(kRequestTimeLimitMs, 30000);
  std::string errors;
  int status = InChild(
      [] {
        RequestWatchdog watchdog(300);
        // The session lock's time-out still arrives as SIGALRM.
        signal(SIGALRM, NoteAlarm);
        struct itimerval alarm_at = {{0, 0}, {0, 50 * 1000}};
        setitimer(ITIMER_REAL, &alarm_at, nullptr);
        pause();
        // A peer that never answers.
        for (;;) pause();
      },
      &errors);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), RequestWatchdog::kExitStatus);
  EXPECT_EQ(errors,
            "alarm\nvxml.cgi: request ended by the watchdog: time limit "
            "exceeded\n");

  // A request that ends in time is not touched, even after the limit.
  errors.clear();
  status = InChild(
      [] {
        { RequestWatchdog watchdog(50); }
        usleep(200 * 1000);
      },
      &errors);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(errors, "");
}

}  // namespace
