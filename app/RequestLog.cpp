#include "app/RequestLog.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>

#include "kernel/OSTime.h"

namespace {

const char kDefaultSocket[] = "/dev/log";
const char kSocketVariable[] = "VXML_LOG_SOCKET";
const char kIdent[] = "vxml.cgi";

// Room for a whole datagram: the header, two values of kMaxText bytes, four
// numbers and the field names.
constexpr size_t kLineSize = 640;

// A line built in a buffer of its own, without allocation, so that a signal
// handler may build one too. Text beyond the buffer is dropped.
class FixedLine {
 public:
  void Append(const char* text) { Append(text, strlen(text)); }
  void Append(const char* text, size_t n) {
    if (n > kLineSize - 1 - size_) n = kLineSize - 1 - size_;
    memcpy(text_ + size_, text, n);
    size_ += n;
    text_[size_] = '\0';
  }
  void AppendNumber(uint64_t value) {
    char digits[20];
    size_t n = 0;
    do {
      digits[sizeof digits - ++n] = static_cast<char>('0' + value % 10);
      value /= 10;
    } while (value != 0);
    Append(digits + sizeof digits - n, n);
  }

  const char* c_str() const { return text_; }
  size_t size() const { return size_; }

 private:
  char text_[kLineSize] = "";
  size_t size_ = 0;
};

// Length of the UTF-8 sequence that starts at `s` (1 to 4), or 0 when the
// bytes there are not one (a stray, overlong, surrogate or truncated
// sequence). Reads no further than a NUL byte.
size_t Utf8Length(const unsigned char* s) {
  const unsigned char lead = s[0];
  if (lead < 0x80) return 1;
  size_t n;
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    n = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    n = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    n = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (s[1] < low || s[1] > high) return 0;
  for (size_t i = 2; i < n; ++i) {
    if ((s[i] & 0xC0) != 0x80) return 0;
  }
  return n;
}

// True when the character of `n` bytes at `s` is written as escapes: a
// blank or "=" would end the value or fake a field, "%" would read as an
// escape, and control characters and line separators would break the line
// in some readers.
bool MustEscape(const unsigned char* s, size_t n) {
  if (n == 1) return s[0] <= ' ' || s[0] == '=' || s[0] == '%' || s[0] == 0x7F;
  if (n == 2) return s[0] == 0xC2 && s[1] <= 0x9F;  // C1, NEL among them
  return n == 3 && s[0] == 0xE2 && s[1] == 0x80 &&
         (s[2] == 0xA8 || s[2] == 0xA9);  // U+2028, U+2029
}

// Appends `text` as one value of at most `max` bytes, escaped as the header
// describes and cut between two characters; "-" for an empty text.
void AppendValue(FixedLine& line, const char* text, size_t max) {
  if (*text == '\0') {
    line.Append("-");
    return;
  }
  static const char kHex[] = "0123456789ABCDEF";
  size_t used = 0;
  for (const unsigned char* s = reinterpret_cast<const unsigned char*>(text);
       *s != '\0';) {
    size_t n = Utf8Length(s);
    const bool escape = n == 0 || MustEscape(s, n);
    if (n == 0) n = 1;
    const size_t width = escape ? 3 * n : n;
    if (used + width > max) break;
    for (size_t i = 0; i < n; ++i) {
      if (escape) {
        const char code[] = {'%', kHex[s[i] >> 4], kHex[s[i] & 0xF]};
        line.Append(code, sizeof code);
      } else {
        line.Append(reinterpret_cast<const char*>(s + i), 1);
      }
    }
    used += width;
    s += n;
  }
}

// "page=P session=S ": the fields known before the request ends.
void AppendNames(FixedLine& line, const RequestOutcome& outcome) {
  line.Append("page=");
  AppendValue(line, outcome.page, RequestLog::kMaxText);
  line.Append(" session=");
  AppendValue(line, outcome.session_id, RequestLog::kSessionDigits);
  line.Append(" ");
}

// "ms=N bytes=N outcome=".
void AppendNumbers(FixedLine& line, long elapsed_ms, uint64_t bytes) {
  line.Append("ms=");
  line.AppendNumber(elapsed_ms > 0 ? static_cast<uint64_t>(elapsed_ms) : 0);
  line.Append(" bytes=");
  line.AppendNumber(bytes);
  line.Append(" outcome=");
}

// "cut sent=N expected=N": the outcome of a body cut short.
void AppendCut(FixedLine& line, uint64_t sent, uint64_t expected) {
  line.Append("cut sent=");
  line.AppendNumber(sent);
  line.Append(" expected=");
  line.AppendNumber(expected);
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

// The log socket's address; false when its path does not fit.
bool LogAddress(struct sockaddr_un* address) {
  const char* path = getenv(kSocketVariable);
  if (path == nullptr) path = kDefaultSocket;
  memset(address, 0, sizeof *address);
  address->sun_family = AF_UNIX;
  if (strlen(path) >= sizeof address->sun_path) return false;
  strcpy(address->sun_path, path);
  return true;
}

// Sends `n` bytes of `text` as one datagram through `fd`; never blocks.
// Async-signal-safe.
bool SendTo(int fd, const struct sockaddr_un& address, const char* text,
            size_t n) {
  return sendto(fd, text, n, MSG_DONTWAIT | MSG_NOSIGNAL,
                reinterpret_cast<const struct sockaddr*>(&address),
                sizeof address) >= 0;
}

// Sends `message` as one datagram to the log socket; false when it could
// not be sent.
bool Send(const UString& message) {
  struct sockaddr_un address;
  if (!LogAddress(&address)) return false;
  int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  const char* text = message;
  const bool sent = SendTo(fd, address, text, strlen(text));
  close(fd);
  return sent;
}

// The line of the current request as far as it is known, for the watchdog.
// Prepare() writes the text that the handler does not read, then makes it
// the current one: a handler that interrupts a rewrite sends the previous
// text whole.
struct ReadiedLine {
  FixedLine text[2];             // syslog header and AppendNames()
  std::atomic<int> current{-1};  // index of the text to send; -1: none
  int fd = -1;                   // the log socket, kept open between requests
  struct sockaddr_un address = {};
  bool usable = false;  // Begin() found the socket's address and fd
  long start_ms = 0;
};
static_assert(std::atomic<int>::is_always_lock_free,
              "the current text is read from a signal handler");

ReadiedLine readied;

}  // namespace

UString RequestLog::Line(const RequestOutcome& outcome, long elapsed_ms) {
  FixedLine line;
  AppendNames(line, outcome);
  AppendNumbers(line, elapsed_ms, outcome.bytes);
  if (outcome.Cut()) {
    AppendCut(line, outcome.body_sent, outcome.body_expected);
  } else if (outcome.error.IsEmpty()) {
    line.Append("ok");
  } else {
    AppendValue(line, outcome.error, kMaxText);
  }
  return UString(line.c_str());
}

bool RequestLog::Write(const RequestOutcome& outcome, long elapsed_ms) {
  readied.current = -1;
  if (!outcome.log) return false;
  const bool ok = outcome.error.IsEmpty() && !outcome.Cut();
  UString message = Header(ok ? LOG_INFO : LOG_ERR);
  message += Line(outcome, elapsed_ms);
  return Send(message);
}

void RequestLog::Begin(long start_ms) {
  readied.current = -1;
  readied.start_ms = start_ms;
  if (readied.fd < 0) {
    readied.fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  }
  readied.usable = LogAddress(&readied.address) && readied.fd >= 0;
  Prepare(RequestOutcome());
}

void RequestLog::Prepare(const RequestOutcome& outcome) {
  if (!readied.usable || !outcome.log) {
    readied.current = -1;
    return;
  }
  const int next = readied.current == 0 ? 1 : 0;
  FixedLine& text = readied.text[next];
  text = FixedLine();
  text.Append(Header(LOG_ERR));
  AppendNames(text, outcome);
  readied.current = next;
}

void RequestLog::WriteFromSignal(const char* outcome, uint64_t bytes,
                                 uint64_t body_sent, uint64_t body_expected) {
  const int current = readied.current;
  if (current < 0) return;
  FixedLine line = readied.text[current];
  AppendNumbers(line, os_monotonic_ms() - readied.start_ms, bytes);
  if (body_sent < body_expected) {
    AppendCut(line, body_sent, body_expected);
  } else {
    line.Append(outcome);
  }
  SendTo(readied.fd, readied.address, line.c_str(), line.size());
}
