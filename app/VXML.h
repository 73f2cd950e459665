// The voice dialogue pages of vxml.cgi: the dispatcher that answers one
// request of the speech browser by its "pagename" argument, the VoiceXML
// document root, the HTML pages the program shows, and two helpers that add
// spoken prompts to an element.
//
// Thread safety: none; the program serves one request on one thread.
#ifndef VXML_H_
#define VXML_H_

#include "app/PortalContext.h"
#include "app/XMLPage.h"
#include "cgiFramework/WebContext.h"
#include "cgiFramework/WebPage.h"
#include "cgiFramework/WebRender.h"
#include "common/UString.h"

// Answers the request on `context` according to its "pagename" argument
// (exact, case-sensitive):
//   "login"    the HTML page "AUTHORISATION FAILURE PLEASE LOGIN CORRECLY";
//   "callback" a VoiceXML form that transfers the call to the argument
//              "dest", after looking that number up in the directory under
//              the settings file's "ldapbase" ("" when absent; the entry
//              found does not change the page); the form greets with
//              the audio "dialling.wav" when that file is in the working
//              directory, else with the prompt "Dialling ";
//   "dialout"  the fixed VoiceXML dial-out menu;
//   "wav"      the archived recording named by the argument "index",
//              relative to the call server's archive directory, written
//              straight to standard output with its "Content-Type:
//              audio/wav" and "Content-Length" lines (the size of the
//              opened file; exactly that many bytes follow). An index that
//              is absolute, contains a ".." component, whose directory
//              resolves outside the archive, or whose file is a symbolic
//              link or not a regular file, is refused like a missing file.
//              A file that shrinks while it is sent cuts the answer (a line
//              on standard error says so). No index: nothing is written.
// Any other name, or none, writes nothing. Pages are written through `out`,
// and only while the context's internal_redirect stays empty.
//
// A web user without a settings row at the portal (context.knownUser false
// after ReadSettings) gets the "login" page for each of the four names.
//
// Before dispatching: reads the portal settings (context.ReadSettings()),
// marks "pagename" Global, sets `authenticated` to knownUser and empties
// client_redirect and internal_redirect.
//
// Throws (as char*) "Unable to open wav file: <full path>" for an archive
// file that is refused, missing, unreadable or not a regular file. The text
// is meant for an HTML page: "&", "<" and ">" of the path are written as
// entities, and it is cut to 511 bytes (never inside a UTF-8 character). It
// lives in a static buffer that the next such failure overwrites. Passes on
// what ReadSettings and the directory session throw.
void DisplayPage(PortalContext& context, WebRender* out);

// The voicemail archive directory of the call server `hostName`, as a host
// path (SitePath applied), ending in "/".
UString ArchiveDirectory(const char* hostName);

// A VoiceXML document: its children are the document's top-level elements.
class VXMLPage : public XMLPage {
 public:
  // No children.
  VXMLPage();
  ~VXMLPage() override;

  // Writes the HTTP header lines "Cache-Control: no-cache, no-store,
  // max-age=1, must-revalidate" and "Content-type: <tab>text/plain", an
  // empty line, the declaration <?xml version="1.0" ?>, the speech browser's
  // DOCTYPE, <vxml version="2.0">, the children, and </vxml>. The inherited
  // `header` is not used.
  void Render(WebContext& context, WebRender* o) override;
};

// An HTML page of the program: a WebPage that records itself in the page
// history.
class StandardPage : public WebPage {
 public:
  explicit StandardPage(WebContext& context);
  ~StandardPage() override;
};

// The authorisation failure page: a StandardPage whose body is the text
// "AUTHORISATION FAILURE PLEASE LOGIN CORRECLY".
class LoginPage : public StandardPage {
 public:
  explicit LoginPage(PortalContext& context);
  ~LoginPage() override;
};

// Adds to `xml` one "prompt" holding `name` when `name` is given and not
// empty; otherwise a "prompt" "Number " followed by one "prompt" per
// character of `num` (null: none).
void SpeakName(XMLItem* xml, char* name, char* num);

// Adds to `xml` two "prompt" elements speaking the time of day `t`, digits
// HHMM whose leading zeros may be missing (null counts as empty): the hour,
// then the minutes, or " hundred hours" for a full hour. A shorter text is
// padded with zeros in front to four digits; a longer one gives its first
// two and its last two characters. "1430" gives "14" and "30", "900" gives
// "09" and " hundred hours".
void SpeakTime(XMLItem* xml, char* t);

#endif  // VXML_H_
