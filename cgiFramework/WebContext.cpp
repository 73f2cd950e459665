#include "cgiFramework/WebContext.h"

#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <unordered_set>
#include <vector>

#include "cgiFramework/RequestInput.h"
#include "cgiFramework/Settings.h"
#include "cgiFramework/SitePaths.h"
#include "json/json.h"
#include "kernel/OSFile.h"

WebContext* WebContext::global_context = nullptr;

namespace {

const char* const kDefaultConfig = "/Korvelund/WebConfig.cfg";
const char* const kDefaultReportDir = "/Korvelund/reports/";

// Multipart text fields up to this many characters become the argument's
// value; longer ones stay in the body buffer (data, length).
constexpr size_t kMaxInlineField = 1000;

// Spare bytes allocated after the request body.
constexpr long kBodySlack = 10;

const char* const kTooManyArguments = "POST Data too many arguments";

// True when `line` begins with `prefix`.
bool StartsWith(const std::string& line, const char* prefix) {
  return line.compare(0, strlen(prefix), prefix) == 0;
}

// The text of `line` from `from` up to the next double quote (or the end of
// the line).
std::string UpToQuote(const std::string& line, size_t from) {
  size_t quote = line.find('"', from);
  return line.substr(
      from, quote == std::string::npos ? std::string::npos : quote - from);
}

// Reads the header line of a multipart part into `arg`: the name and file
// name of its Content-Disposition, or its Content-Type.
void ParsePartHeader(const std::string& line, WebArgument* arg) {
  static const char kDisposition[] = "Content-Disposition: form-data; name=\"";
  static const char kFilename[] = "filename=\"";
  static const char kContentType[] = "Content-Type: ";
  if (StartsWith(line, kDisposition)) {
    size_t from = sizeof kDisposition - 1;
    std::string name = UpToQuote(line, from);
    arg->name = name.c_str();
    size_t semicolon = line.find(';', from + name.size());
    if (semicolon == std::string::npos) return;
    size_t at = line.find_first_not_of(' ', semicolon + 1);
    if (at != std::string::npos &&
        line.compare(at, strlen(kFilename), kFilename) == 0) {
      arg->filename = UpToQuote(line, at + strlen(kFilename)).c_str();
    }
  } else if (StartsWith(line, kContentType)) {
    arg->content = line.substr(sizeof kContentType - 1).c_str();
  }
}

// Reads the header lines of a multipart part from `p` into `arg` and
// returns where the part's data starts, or null when the headers do not end
// before `next`. Header lines end at a CR (an LF after it is skipped); an
// empty line ends the headers.
char* ReadPartHeaders(char* p, char* next, WebArgument* arg) {
  while (p < next) {
    char* cr = static_cast<char*>(memchr(p, '\r', next - p));
    if (cr == nullptr) return nullptr;
    char* after = cr + 1;
    if (after < next && *after == '\n') ++after;
    if (cr == p) return after;
    ParsePartHeader(std::string(p, cr), arg);
    p = after;
  }
  return nullptr;
}

// Finds `needle` in [from, end); `end` when it does not occur.
char* FindBytes(char* from, char* end, const std::string& needle) {
  if (from >= end) return end;
  void* hit = memmem(from, end - from, needle.data(), needle.size());
  return hit != nullptr ? static_cast<char*>(hit) : end;
}

}  // namespace

const char* GetDefaultLDAPServer() { return "127.0.0.1"; }

const char* GetDefaultLDAPUserName() { return "INTERNAL"; }

const char* GetDefaultLDAPPassword() { return "quietharbor"; }

// --- Construction ------------------------------------------------------------

WebContext::WebContext(const char* Aconfig, const char* Adirname)
    : arguments(1),
      session_vars(1),
      cookies(1),
      reports(0),
      json_post_data(nullptr),
      client_redirect_time(0),
      depth(0),
      fbuf(nullptr),
      private_data(nullptr),
      body_length(0),
      session_locked(false),
      session_idle_seconds(0) {
  global_context = this;
  dirname = Adirname != nullptr ? Adirname : kDefaultReportDir;
  config = Aconfig != nullptr ? Aconfig : kDefaultConfig;
  try {
    ScanWebArguments(nullptr);
    ScanWebCookies();
  } catch (...) {
    ReleaseRequest();
    throw;
  }
  // A failure here shows later, when a session file cannot be created.
  UString sessions = SitePath(kSessionDir);
  struct stat st;
  if (stat(sessions, &st) != 0) mkdir(sessions, 0700);
}

WebContext::~WebContext() noexcept(false) {
  try {
    SaveWebSessionVars(nullptr);
  } catch (...) {
    ReleaseRequest();
    throw;
  }
  ReleaseRequest();
}

void WebContext::ReleaseRequest() {
  delete json_post_data;
  json_post_data = nullptr;
  delete[] fbuf;
  fbuf = nullptr;
  body_length = 0;
  if (global_context == this) global_context = nullptr;
}

char* WebContext::GetVariable(const char* varname) {
  static char empty[] = "";
  if (WebArgument* arg = FindWebArgument(varname, WebArgument::Any)) {
    return *arg;
  }
  if (WebSessionVar* var = FindWebSessionVar(varname)) return *var;
  return empty;
}

bool WebContext::HasVariable(const char* varname) {
  return FindWebArgument(varname, WebArgument::Any) != nullptr ||
         FindWebSessionVar(varname) != nullptr;
}

void WebContext::ReadSettings() {}

LDAPSession* WebContext::GetLDAPSession(bool /*dontload*/) { return nullptr; }

SQLSession* WebContext::GetSQLSession() { return nullptr; }

// --- Reading the arguments ---------------------------------------------------

void WebContext::ScanWebArguments(const char* cl) {
  arguments.Flush();
  ScanConfig();
  if (cl != nullptr) {
    AddWebArguments(cl, WebArgument::Normal);
  } else {
    ScanRequest();
  }
  if (WebArgument* sid = FindWebArgument("sessionId", WebArgument::Any)) {
    sid->type = WebArgument::Context;
  }
}

void WebContext::ScanConfig() {
  // The settings file is trusted, so a link to it is followed; anything but
  // a regular file (a FIFO would block the request) counts as missing.
  SettingsText settings;
  if (!ReadSettingsFile(SitePath(config), &settings)) return;
  for (const SettingsEntry& entry : settings.entries) {
    // The first occurrence of a name wins.
    if (FindWebArgument(entry.name.c_str(), WebArgument::Any) != nullptr) {
      continue;
    }
    AppendArgument(entry.name.c_str(), entry.value.c_str(),
                   WebArgument::Hidden);
  }
}

void WebContext::ScanRequest() {
  AddWebArguments(RequestParam("QUERY_STRING"), WebArgument::Normal);
  const char* length_text = RequestParam("CONTENT_LENGTH");
  long content_length =
      length_text != nullptr ? strtol(length_text, nullptr, 10) : 0;
  if (content_length <= 0) return;
  // A body whose type is not stated cannot be interpreted: leave it unread.
  const char* content_type = RequestParam("CONTENT_TYPE");
  if (content_type == nullptr || *content_type == '\0') return;
  if (fbuf == nullptr) ReadBody(content_length);
  if (strcmp(content_type, "application/x-www-form-urlencoded") == 0) {
    AddArguments(fbuf, WebArgument::Normal, kMaxBodyArguments);
  } else if (strcmp(content_type, "application/x-json") == 0) {
    // The parser works in place, so the tree is made once per context.
    if (json_post_data == nullptr) {
      json_post_data = new JsonObj(fbuf, nullptr, 0);
    }
  } else if (strstr(content_type, "multipart/form-data") != nullptr) {
    ParseMultipart(content_type);
  }
}

void WebContext::ReadBody(long content_length) {
  // Only the settings file can change the limit; argument lengths are ints.
  long limit = kDefaultMaxPostSize;
  long configured = strtol(GetSetting(Setting::kMaxPostSize), nullptr, 10);
  if (configured > 0) limit = std::min<long>(configured, INT_MAX - kBodySlack);
  if (content_length > limit) throw "POST Data too large";
  try {
    fbuf = new char[content_length + kBodySlack];
  } catch (const std::bad_alloc&) {
    throw "POST Data too large";
  }
  long got = 0;
  while (got < content_length) {
    ssize_t n = RequestInput::Current()->ReadBody(
        fbuf + got, static_cast<size_t>(content_length - got));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;  // the body is what arrived
    got += n;
  }
  fbuf[got] = '\0';
  body_length = got;
}

// Splits a multipart body into arguments. The body stays in place: file
// parts and long text fields point into it. The only bytes written are the
// terminators of text fields, over the CR before the next delimiter, so
// parsing the same buffer again gives the same arguments.
void WebContext::ParseMultipart(const char* content_type) {
  const char* boundary = strstr(content_type, "boundary=");
  if (boundary == nullptr) throw "POST Data no boundary";
  std::string delimiter = std::string("--") + (boundary + strlen("boundary="));
  char* end = fbuf + body_length;
  char* at = FindBytes(fbuf, end, delimiter);
  WebArgument* file_part = nullptr;  // the previous part, if it was a file
  int parts = 0;
  while (at < end) {
    if (file_part != nullptr) {
      file_part->length =
          static_cast<int>(std::max<long>(0, (at - 2) - file_part->data));
      file_part = nullptr;
    }
    char* p = at + delimiter.size();
    char* next = FindBytes(p, end, delimiter);
    if (end - p >= 2 && p[0] == '-' && p[1] == '-') break;  // closing one
    while (p < end && (*p == '\r' || *p == '\n')) ++p;
    if (p >= end) break;
    if (++parts > kMaxBodyArguments) throw kTooManyArguments;

    auto* arg = new WebArgument;
    arg->depth = depth;
    arguments.Append(arg);

    char* data = ReadPartHeaders(p, next, arg);
    if (data != nullptr) {
      if (!arg->content.IsEmpty()) {
        arg->data = data;
        file_part = arg;
      } else {
        char* cut = std::max(data, next - 2);
        if (cut < next) *cut = '\0';
        size_t text_length = strnlen(data, cut - data);
        if (text_length <= kMaxInlineField) {
          arg->value = std::string(data, text_length).c_str();
        } else {
          arg->data = data;
          arg->length = static_cast<int>(text_length);
        }
      }
    }
    at = next;
  }
  if (file_part != nullptr) {
    file_part->length =
        static_cast<int>(std::max<long>(0, (end - 2) - file_part->data));
  }
}

void WebContext::AddWebArguments(const char* cl, WebArgument::Type type) {
  AddArguments(cl, type, INT_MAX);
}

void WebContext::AddArguments(const char* cl, WebArgument::Type type,
                              int limit) {
  if (cl == nullptr || *cl == '\0') return;
  // The names present so far, so that a long text costs one lookup per
  // argument instead of a walk over the whole list.
  std::unordered_set<std::string> names;
  for (WebArgument* arg : arguments)
    names.insert(static_cast<char*>(arg->name));
  // In the settings file a value ends at its line end even inside quotes, so
  // that a stray quote cannot run on into the lines that follow.
  const bool line_ends = type == WebArgument::Hidden;
  int added = 0;
  const char* p = cl;
  while (*p != '\0') {
    std::string name;
    std::string value;
    p = SkipArgumentSeparators(
        ReadArgumentPair(p, line_ends, name, value, nullptr));
    // The first occurrence of a name wins. Names are compared as stored,
    // that is up to a decoded zero byte.
    if (!names.insert(name.c_str()).second) continue;
    if (++added > limit) throw kTooManyArguments;
    AppendArgument(name.c_str(), value.c_str(), type);
  }
}

void WebContext::AppendArgument(const char* name, const char* value,
                                WebArgument::Type type) {
  auto* arg = new WebArgument;
  arg->name = name;
  arg->value = value;
  arg->type = type;
  arg->depth = depth;
  arguments.Append(arg);
}

char* WebContext::GetSetting(Setting key) {
  static char empty[] = "";
  WebArgument* arg = FindWebArgument(KeyOf(key).name, WebArgument::Hidden);
  return arg != nullptr ? static_cast<char*>(arg->value) : empty;
}

// --- Looking arguments up ----------------------------------------------------

WebArgument* WebContext::FindWebArgument(const char* name,
                                         WebArgument::Type type) {
  for (WebArgument* arg : arguments) {
    if (arg->name == name && (type == WebArgument::Any || arg->type == type)) {
      return arg;
    }
  }
  return nullptr;
}

WebArgument& WebContext::GetWebArgument(const char* name,
                                        WebArgument::Type type) {
  if (WebArgument* arg = FindWebArgument(name, type)) return *arg;
  auto* arg = new WebArgument;
  arg->name = name;
  arg->depth = depth;
  arg->type = type == WebArgument::Any ? WebArgument::Normal : type;
  arguments.Append(arg);
  return *arg;
}

WebArgument& WebContext::operator[](const char* name) {
  return GetWebArgument(name, WebArgument::Any);
}

bool WebContext::HasWebArgument(const char* name) {
  return FindWebArgument(name, WebArgument::Any) != nullptr;
}

void WebContext::SetWebArgument(const char* name, const char* value) {
  GetWebArgument(name, WebArgument::Any) = value;
}

void WebContext::SetWebArgument(const char* name, int value) {
  GetWebArgument(name, WebArgument::Any) = value;
}

void WebContext::RemoveWebArgument(const char* name) {
  arguments.RemoveIf([name](WebArgument* arg) { return arg->name == name; });
}

void WebContext::NewArguments() { ++depth; }

void WebContext::FlushArguments(int Adepth) {
  if (Adepth < 0 && depth > 0) --depth;
  arguments.RemoveIf([this](WebArgument* arg) { return arg->depth > depth; });
}

void WebContext::SortWebArguments(bool numericalOrder, bool descendingOrder) {
  arguments.SortBy(&WebIndexObj::arg, [=](WebArgument* arg) {
    return new WebIndexObj(arg, numericalOrder, descendingOrder);
  });
}

bool WebContext::IsSameArgument(const char* name, const char* url) {
  if (url == nullptr) return false;
  WebArgument& arg = GetWebArgument(name, WebArgument::Any);
  const char* item = strchr(url, '?');
  if (item == nullptr) return false;
  size_t name_length = strlen(name);
  size_t value_length = arg.value.GetLength();
  for (++item;; ++item) {
    if (strncasecmp(item, name, name_length) == 0 && item[name_length] == '=') {
      const char* text = item + name_length + 1;
      return strncmp(text, arg.value, value_length) == 0 &&
             (text[value_length] == '&' || text[value_length] == '\0');
    }
    item = strchr(item, '&');
    if (item == nullptr) return false;
  }
}
