#include "app/VXML.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "app/AnswerOutput.h"

#include "cgiFramework/SitePaths.h"
#include "cgiFramework/WebArgument.h"
#include "cgiFramework/WebValue.h"
#include "common/UString.h"
#include "kernel/OSFile.h"
#include "ldap/LDAPSession.h"
#include "ldap/LDAPTable.h"

namespace {

// Greeting played before a call-back transfer when it is present in the
// working directory.
const char kGreetingFile[] = "dialling.wav";

// Size of the buffer holding the error text of a missing recording.
constexpr size_t kErrorTextSize = 512;

// The fixed numbers of the dial-out menu's choices: source, target and
// originator.
const char kDialoutSource[] = "2002";
const char kDialoutTarget[] = "2001";
const char kDialoutOriginator[] = "2002";

// Cuts `text` before a multi-byte UTF-8 sequence that its end splits, so a
// text shortened to fit a buffer stays valid UTF-8.
void DropPartialCharacter(char* text) {
  size_t n = strlen(text);
  size_t start = n;
  while (start > 0 &&
         (static_cast<unsigned char>(text[start - 1]) & 0xC0) == 0x80) {
    --start;
  }
  if (start == 0) return;
  const unsigned char lead = static_cast<unsigned char>(text[start - 1]);
  size_t need = 1;
  if ((lead & 0xE0) == 0xC0) {
    need = 2;
  } else if ((lead & 0xF0) == 0xE0) {
    need = 3;
  } else if ((lead & 0xF8) == 0xF0) {
    need = 4;
  }
  if (n - (start - 1) < need) text[start - 1] = '\0';
}

// Throws "Unable to open wav file: <path>" from a static buffer, cut so that
// it fits. The text ends up in an HTML page, so the path, which quotes the
// request, has "&", "<" and ">" escaped.
[[noreturn]] void ThrowUnableToOpen(const char* path) {
  static char error_text[kErrorTextSize];
  UString escaped;
  XMLItem::Parse(path, escaped);
  int n = snprintf(error_text, sizeof error_text, "Unable to open wav file: %s",
                   static_cast<char*>(escaped));
  if (n >= static_cast<int>(sizeof error_text)) {
    DropPartialCharacter(error_text);
  }
  throw error_text;
}

// True when `index` names a file below the archive directory: a relative
// path none of whose components is "..".
bool IsArchiveName(const char* index) {
  if (index[0] == '/') return false;
  for (const char* p = index; *p != '\0';) {
    const char* end = strchr(p, '/');
    size_t len = end != nullptr ? static_cast<size_t>(end - p) : strlen(p);
    if (len == 2 && p[0] == '.' && p[1] == '.') return false;
    p += len;
    if (*p == '/') ++p;
  }
  return true;
}

// Closes a descriptor when it goes out of scope.
class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  ~FileDescriptor() {
    if (fd_ >= 0) close(fd_);
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

// Opens the recording `path` (the archive directory `archive` followed by
// the request's relative name) for reading, with its status in `st`. The
// directory part of the path, with every link in it resolved, must lie
// inside the archive directory; the last component must be a regular file
// and no symbolic link, and the open never blocks (a FIFO is refused).
// Throws "Unable to open wav file: <path>" otherwise.
int OpenRecording(const char* archive, const char* path, struct stat* st) {
  char real_archive[PATH_MAX];
  char real_dir[PATH_MAX];
  const std::string full = path;
  const size_t slash = full.rfind('/');
  if (slash == std::string::npos || slash + 1 == full.size()) {
    ThrowUnableToOpen(path);
  }
  const std::string dir = full.substr(0, slash + 1);
  const std::string base = full.substr(slash + 1);
  if (realpath(archive, real_archive) == nullptr ||
      realpath(dir.c_str(), real_dir) == nullptr) {
    ThrowUnableToOpen(path);
  }
  const size_t n = strlen(real_archive);
  if (strncmp(real_dir, real_archive, n) != 0 ||
      (real_dir[n] != '\0' && real_dir[n] != '/')) {
    ThrowUnableToOpen(path);
  }
  UString resolved;
  resolved.Format("%s/%s", real_dir, base.c_str());
  int fd = OpenRegularFile(resolved, O_RDONLY, OSLinks::kRefuse, st);
  if (fd < 0) ThrowUnableToOpen(path);
  return fd;
}

// The "wav" request: streams the archived recording named by "index" to
// standard output, or nothing without an index. The length announced is the
// size of the opened file, and exactly that many bytes follow even when the
// file grows meanwhile; when it shrinks, the answer is cut (and a line on
// standard error says so), since its length has already gone out.
void StreamRecording(PortalContext& context) {
  WebArgument& index = context["index"];
  if (index.value.IsEmpty()) return;

  const UString archive = ArchiveDirectory(context.hostName);
  UString path = archive;
  path += index.value;
  if (!IsArchiveName(index.value)) ThrowUnableToOpen(path);

  struct stat st;
  FileDescriptor file(OpenRecording(archive, path, &st));
  const uint64_t size = static_cast<uint64_t>(st.st_size);
  StdoutAnswer::Printf("Content-Type: audio/wav\n");
  StdoutAnswer::Printf("Content-Length: %llu\n",
                       static_cast<unsigned long long>(size));
  StdoutAnswer::Printf("\n");
  const uint64_t sent = StdoutAnswer::CopyFile(file.get(), size);
  if (sent != size) {
    fprintf(stderr, "vxml.cgi: wav answer cut after %llu of %llu bytes: %s\n",
            static_cast<unsigned long long>(sent),
            static_cast<unsigned long long>(size), static_cast<char*>(path));
  }
}

// Looks the destination up in the directory through a session that shares
// the portal's connection. The entry is read but does not change the page.
// A context without a directory session skips the look-up.
void LookUpDestination(PortalContext& context, const char* dest) {
  LDAPSession* portal_session = context.GetLDAPSession(false);
  if (portal_session == nullptr) return;
  LDAPSession session(portal_session);

  // Escaped, the number stays one value: it cannot add terms to the filter.
  UString value;
  value.SlashHex(dest);
  UString filter;
  filter.Format("(GlobalTelephoneNumber=%s)", static_cast<char*>(value));
  static const char* const kAttributes[] = {"cn", "guid", nullptr};
  const char* base = context.GetSetting(Setting::kLDAPBase);
  if (session.Search(base, 2, filter, kAttributes, 0, 1, 0, 0) != 0) return;
  LDAPRow row;
  row.Fetch(session);
  session.Flush();
}

// The "callback" page: a form that greets and transfers the call to "dest".
std::unique_ptr<VXMLPage> CallbackPage(PortalContext& context) {
  UString dest = static_cast<char*>(context["dest"]);
  auto page = std::make_unique<VXMLPage>();
  auto* form = new XMLItem("form", nullptr, "id=\"callback\"");
  page->Add(form);

  LookUpDestination(context, dest);

  auto* block = new XMLItem("block", nullptr, nullptr);
  form->Add(block);
  struct stat st;
  if (stat(kGreetingFile, &st) != 0) {
    block->Add(new XMLItem("prompt", "Dialling ", nullptr));
  } else {
    block->Add(new XMLItem("audio", nullptr, "src=\"%s\"", kGreetingFile));
  }

  // The destination is a URI: a double quote, which would end the attribute
  // value early, is written in its percent-encoded form.
  dest.ReplaceAll("\"", "%22");
  form->Add(new XMLItem("transfer", nullptr, "name=\"call\" dest=\"%s\"",
                        static_cast<char*>(dest)));
  return page;
}

// The "dialout" page: the DTMF menu and a form that hangs up.
std::unique_ptr<VXMLPage> DialoutPage() {
  auto page = std::make_unique<VXMLPage>();
  auto* menu = new XMLItem("menu", nullptr, "id=\"menu\"");
  page->Add(menu);
  menu->Add(
      new XMLItem("property", nullptr, "name=\"inputmodes\" value=\"dtmf\""));
  menu->Add(new XMLItem("prompt", "hello", nullptr));
  menu->Add(new XMLItem(
      "prompt", "Press 1 to be called back on the number you are calling from.",
      nullptr));
  menu->Add(new XMLItem("prompt", "Press 2 to enter the number to call back.",
                        nullptr));
  menu->Add(new XMLItem(
      "choice", nullptr,
      "dtmf=\"1\" next=\"vxml.cgi?pagename=dialout&cmd=submit&s=%s&t=%s&o=%s\"",
      kDialoutSource, kDialoutTarget, kDialoutOriginator));
  menu->Add(new XMLItem(
      "choice", nullptr,
      "dtmf=\"2\" next=\"vxml.cgi?pagename=dialout&cmd=getnum&s=%s&t=%s&o=%s\"",
      kDialoutSource, kDialoutTarget, kDialoutOriginator));

  auto* disconnect = new XMLItem("form", nullptr, "id=\"mydisconnect\"");
  page->Add(disconnect);
  auto* block = new XMLItem("block", nullptr, nullptr);
  disconnect->Add(block);
  block->Add(new XMLItem("disconnect", nullptr, nullptr));
  return page;
}

// Adds a "prompt" holding the literal `text`.
void AddPrompt(XMLItem* xml, const char* text) {
  auto* prompt = new XMLItem("prompt", nullptr, nullptr);
  prompt->Set("%s", text);
  xml->Add(prompt);
}

}  // namespace

void DisplayPage(PortalContext& context, WebRender* out) {
  context.ReadSettings();
  WebArgument& pagename = context["pagename"];
  pagename.type = WebArgument::Global;
  // A web user without settings at this portal gets the authorisation
  // failure page in place of every page.
  context.authenticated = context.knownUser;
  context.client_redirect = "";
  context.internal_redirect = "";

  const bool known_page = pagename == "login" || pagename == "callback" ||
                          pagename == "dialout" || pagename == "wav";
  std::unique_ptr<WebItem> page;
  if (pagename == "login" || (known_page && !context.authenticated)) {
    page = std::make_unique<LoginPage>(context);
  } else if (pagename == "callback") {
    page = CallbackPage(context);
  } else if (pagename == "dialout") {
    page = DialoutPage();
  } else if (pagename == "wav") {
    StreamRecording(context);
  }
  if (page && context.internal_redirect.IsEmpty()) page->Render(context, out);
}

UString ArchiveDirectory(const char* hostName) {
  UString archive;
  archive.Format("/hosts/%s%s/Archive/", hostName, "/Korvelund/Mailbox");
  return SitePath(archive);
}

// ------------------------------------------------------------------- pages

VXMLPage::VXMLPage() = default;

VXMLPage::~VXMLPage() = default;

void VXMLPage::Render(WebContext& context, WebRender* o) {
  o->printf("Cache-Control: no-cache, no-store, max-age=1, must-revalidate\n");
  o->printf("Content-type: \ttext/plain\n\n");
  o->printf("<?xml version=\"1.0\" ?>\n");
  o->printf("<!DOCTYPE vxml PUBLIC \"SpeechBrowser/2.0/DTD\" \"ignore\" >\n");
  o->printf("<vxml version=\"2.0\">\n");
  WebItem::Render(context, o);
  o->printf("</vxml>\n");
}

StandardPage::StandardPage(WebContext& /*context*/) : WebPage(true) {}

StandardPage::~StandardPage() = default;

LoginPage::LoginPage(PortalContext& context) : StandardPage(context) {
  Add(new WebValue("%s", "AUTHORISATION FAILURE PLEASE LOGIN CORRECLY"));
}

LoginPage::~LoginPage() = default;

// ----------------------------------------------------------------- prompts

void SpeakName(XMLItem* xml, char* name, char* num) {
  if (name != nullptr && *name != '\0') {
    AddPrompt(xml, name);
    return;
  }
  AddPrompt(xml, "Number ");
  if (num == nullptr) return;
  for (const char* p = num; *p != '\0'; ++p) {
    const char digit[] = {*p, '\0'};
    AddPrompt(xml, digit);
  }
}

void SpeakTime(XMLItem* xml, char* t) {
  UString time;
  for (size_t len = t != nullptr ? strlen(t) : 0; len < 4; ++len) time += '0';
  time += t;
  const int len = time.GetLength();
  const char hour[] = {time[0], time[1], '\0'};
  const char minute[] = {time[len - 2], time[len - 1], '\0'};
  AddPrompt(xml, hour);
  AddPrompt(xml, strcmp(minute, "00") == 0 ? " hundred hours" : minute);
}
