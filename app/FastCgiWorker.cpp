#include "app/FastCgiWorker.h"

#include <fcgiapp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "app/AnswerOutput.h"
#include "app/KeptConnections.h"
#include "app/RequestWatchdog.h"
#include "cgiFramework/RequestInput.h"

namespace {

// Largest value of the request limit; more is taken as this.
constexpr long kMaxWorkerRequests = 1000000000L;

// The variables and body of one FastCGI request. The variables are copied,
// so that they outlive FCGX_Finish_r: the request log and the session
// clean-up (which finds the session directory through VXML_ROOT) run after
// the answer has gone.
class FastCgiInput : public RequestInput {
 public:
  explicit FastCgiInput(FCGX_Request& request) : in_(request.in) {
    for (char** e = request.envp; e != nullptr && *e != nullptr; ++e) {
      variables_.emplace_back(*e);
    }
  }

  const char* Param(const char* name) override {
    const size_t n = strlen(name);
    for (const std::string& v : variables_) {
      if (v.compare(0, n, name) == 0 && v.size() > n && v[n] == '=') {
        return v.c_str() + n + 1;
      }
    }
    return nullptr;
  }

  ssize_t ReadBody(char* buffer, size_t n) override {
    if (in_ == nullptr) return 0;
    // The library reads whole records; a request's body is at most its
    // CONTENT_LENGTH, which the caller bounds.
    return FCGX_GetStr(buffer, static_cast<int>(n), in_);
  }

  // The body cannot be read once the answer is finished.
  void Finished() { in_ = nullptr; }

 private:
  FCGX_Stream* in_;
  std::vector<std::string> variables_;
};

// The answer of one FastCGI request: its output stream. Writes reach the
// library in the caller's pieces (a recording in pieces of 256 KiB), which
// it sends as FastCGI records.
class FastCgiOutput : public AnswerStream {
 public:
  explicit FastCgiOutput(FCGX_Stream* out) : out_(out) {}

  bool Write(const char* data, size_t n) override {
    while (n > 0) {
      const int piece = static_cast<int>(n < (1u << 30) ? n : (1u << 30));
      if (FCGX_PutStr(data, piece, out_) != piece) return false;
      data += piece;
      n -= static_cast<size_t>(piece);
    }
    return true;
  }

 private:
  FCGX_Stream* out_;
};

// The working directory a web server gives a CGI: the directory of the
// script (SCRIPT_FILENAME); unchanged when the request names none.
void EnterScriptDirectory(RequestInput& input) {
  const char* script = input.Param("SCRIPT_FILENAME");
  if (script == nullptr) return;
  const char* slash = strrchr(script, '/');
  if (slash == nullptr) return;
  std::string directory(script, slash == script ? 1 : slash - script);
  if (chdir(directory.c_str()) != 0) {
    fprintf(stderr, "vxml.cgi: cannot enter %s: %s\n", directory.c_str(),
            strerror(errno));
  }
}

// The process's TZ as the worker found it, put back after each request.
class ProcessTimeZone {
 public:
  ProcessTimeZone() {
    const char* tz = getenv("TZ");
    set_ = tz != nullptr;
    if (set_) tz_ = tz;
  }
  void Restore() const {
    if (set_) {
      setenv("TZ", tz_.c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    tzset();
  }

 private:
  bool set_;
  std::string tz_;
};

}  // namespace

long WorkerRequestLimit(const char* value) {
  if (value == nullptr || *value < '0' || *value > '9') {
    return kDefaultWorkerRequests;
  }
  char* end = nullptr;
  errno = 0;
  long n = strtol(value, &end, 10);
  if (*end != '\0' || n < 1) return kDefaultWorkerRequests;
  return errno == ERANGE || n > kMaxWorkerRequests ? kMaxWorkerRequests : n;
}

bool FastCgiWorker::Started() {
  int listening = 0;
  socklen_t length = sizeof listening;
  return getsockopt(STDIN_FILENO, SOL_SOCKET, SO_ACCEPTCONN, &listening,
                    &length) == 0 &&
         listening != 0;
}

int FastCgiWorker::Run(const Answer& answer, const AfterAnswer& after) {
  if (FCGX_Init() != 0) {
    fprintf(stderr, "vxml.cgi: the FastCGI library cannot start\n");
    return 1;
  }
  FCGX_Request request;
  if (FCGX_InitRequest(&request, STDIN_FILENO, 0) != 0) {
    fprintf(stderr, "vxml.cgi: the FastCGI library cannot start\n");
    return 1;
  }
  KeptConnections::Enable();
  const ProcessTimeZone time_zone;
  long limit = kDefaultWorkerRequests;
  for (long served = 0; served < limit && FCGX_Accept_r(&request) == 0;
       ++served) {
    // The time limit covers the request from its acceptance to the end of
    // its clean-up; when it expires the worker ends.
    RequestWatchdog watchdog;
    FastCgiInput input(request);
    FastCgiOutput output(request.out);
    RequestInput::Install(&input);
    StdoutAnswer::Redirect(&output);
    EnterScriptDirectory(input);
    RequestOutcome outcome = answer();
    StdoutAnswer::Redirect(nullptr);
    input.Finished();
    // Once the answer and the end of the request are sent and the rest of
    // the input is read, the connection is closed at once: by default the
    // library would wait for the web server to close its end first, which
    // holds up the next request and protects nothing here.
    FCGX_Detach(&request);
    FCGX_Finish_r(&request);
    after(outcome);
    RequestInput::Install(nullptr);
    time_zone.Restore();
    // A request that failed before its settings were read (a malformed
    // body, say) leaves the limit as the last settings set it.
    if (outcome.settings_read) {
      limit = WorkerRequestLimit(outcome.worker_requests);
    }
  }
  FCGX_Free(&request, 1);
  KeptConnections::CloseAll();
  return 0;
}
