#include "app/RequestLog.h"

#include <strings.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

namespace {

const char kDefaultSocket[] = "/dev/log";
const char kSocketVariable[] = "VXML_LOG_SOCKET";
const char kIdent[] = "vxml.cgi";

// Appends to `line` at most `max` bytes of `text`, with every control
// character and blank turned into "_", so that the value stays one word of
// one line; "-" for an empty text.
void AppendWord(UString& line, const char* text, size_t max) {
  if (*text == '\0') {
    line += '-';
    return;
  }
  for (size_t i = 0; text[i] != '\0' && i < max; ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    line += c <= ' ' || c == 0x7F ? '_' : static_cast<char>(c);
  }
}

// Appends at most `max` bytes of `text`, control characters as blanks.
void AppendText(UString& line, const char* text, size_t max) {
  for (size_t i = 0; text[i] != '\0' && i < max; ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    line += c < ' ' || c == 0x7F ? ' ' : static_cast<char>(c);
  }
}

// The syslog header of a line of priority `priority`: "<PRI>vxml.cgi[pid]: ".
// Without a time stamp the log daemon stamps the line when it arrives: the
// process's TZ may by then be the web user's time zone, not the server's.
UString Header(int priority) {
  UString header;
  header.Format("<%d>%s[%d]: ", LOG_USER | priority, kIdent,
                static_cast<int>(getpid()));
  return header;
}

// Sends `message` as one datagram to the log socket; false when it could
// not be sent.
bool Send(const UString& message) {
  const char* path = getenv(kSocketVariable);
  if (path == nullptr) path = kDefaultSocket;
  struct sockaddr_un address;
  memset(&address, 0, sizeof address);
  address.sun_family = AF_UNIX;
  if (strlen(path) >= sizeof address.sun_path) return false;
  strcpy(address.sun_path, path);
  int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  const char* text = message;
  ssize_t n =
      sendto(fd, text, strlen(text), MSG_DONTWAIT | MSG_NOSIGNAL,
             reinterpret_cast<struct sockaddr*>(&address), sizeof address);
  close(fd);
  return n >= 0;
}

}  // namespace

UString RequestLog::Line(const RequestOutcome& outcome, long elapsed_ms) {
  UString line("page=");
  AppendWord(line, outcome.page, kMaxText);
  line += " session=";
  AppendWord(line, outcome.session_id, kSessionDigits);
  UString numbers;
  numbers.Format(" ms=%ld bytes=%llu outcome=", elapsed_ms,
                 static_cast<unsigned long long>(outcome.bytes));
  line += numbers;
  if (outcome.error.IsEmpty()) {
    line += "ok";
  } else {
    AppendText(line, outcome.error, kMaxText);
  }
  return line;
}

bool RequestLog::Write(const RequestOutcome& outcome, long elapsed_ms) {
  if (!outcome.log) return false;
  UString message = Header(outcome.error.IsEmpty() ? LOG_INFO : LOG_ERR);
  message += Line(outcome, elapsed_ms);
  return Send(message);
}

bool RequestLog::IsOff(const char* value) {
  return strcasecmp(value, "off") == 0 || strcmp(value, "0") == 0 ||
         strcasecmp(value, "no") == 0;
}
