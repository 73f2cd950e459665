// One session variable: a named text carried from one request of a client to
// the next in the client's session file.
//
// Session variables live in WebContext::session_vars, which owns them; the
// context loads them when the session is initialised and writes them back,
// one "name=value" line each, when it is destroyed (see WebContext's session
// operations). Other programs of the portal read the same files, so the
// format has no escapes: values are written byte for byte, except that CR
// and LF become "%0D" and "%0A" (a line end would add variables of its
// own); a variable whose name holds "=", CR or LF is not written. Lines of
// any length are read whole.
//
// Saves cannot tear: the new content is first made complete in a side file,
// and a load that finds one finishes the save it belongs to (see
// SessionSaveStep). The session file itself is only ever rewritten in place,
// so other programs that lock it keep working on the same file.
#ifndef CGIFRAMEWORK_WEBSESSION_H_
#define CGIFRAMEWORK_WEBSESSION_H_

#include <cstdio>
#include <ctime>
#include <string>

#include "common/UString.h"
#include "kernel/OSListObj.h"
#include "kernel/OSTypedList.h"

// The directory of the session files, "<prefix>_<identifier>" each (under
// VXML_ROOT when that is set, see SitePath).
inline constexpr char kSessionDir[] = "/Korvelund/sessions";

class WebSessionVar : public OSListObj {
 public:
  // Empty name, value and default.
  WebSessionVar();
  ~WebSessionVar() override;
  WebSessionVar(const WebSessionVar&) = delete;
  WebSessionVar& operator=(const WebSessionVar&) = delete;

  // True when `key` equals `name` exactly.
  bool IsKey(char* key) override;

  // `value`, or `def` when `value` is empty. Valid until either changes.
  operator char*();
  // That text read as a base-10 number; 0 when it is not a number.
  operator int();

  void SetDef(const char* d);
  WebSessionVar& operator=(const char* v);
  // Sets `value` to `v` formatted "%d".
  WebSessionVar& operator=(int v);

  // Compare `value` (not the default) exactly with `s`.
  bool operator==(const char* s);
  bool operator!=(const char* s);

  UString name;   // variable name
  UString value;  // variable value
  UString def;    // used when value is empty
};

// --- Session files ----------------------------------------------------------

// Appends to `vars` one new variable per line of `content` (the last line
// may lack its LF): the name is the text before the first "=", the value
// the text after it up to the first CR or LF; a line without "=" names a
// variable with an empty value. A NUL byte ends the name or value it is in.
void ParseSessionFile(const std::string& content,
                      OSTypedList<WebSessionVar>& vars);
// The file content for `vars`: one "name=value" line per variable with a
// storable name (not empty, no "=", CR or LF), CR and LF in values written
// as "%0D" and "%0A".
std::string FormatSessionFile(OSTypedList<WebSessionVar>& vars);

// The steps of a save of the session file "<dir>/<name>", in order. The new
// content is written to "<dir>/+<name>.save.tmp" and flushed to the disk
// (kSideWritten), renamed to the side file "<dir>/+<name>.save"
// (kSideComplete), written over the session file from its start
// (kFileWritten), which is then cut to its new length and flushed
// (kFileComplete); last the side file is removed. A failure or a kill
// before kSideComplete leaves the old content; from kSideComplete on the
// next load of the session reads the side file and completes the save. A
// full disk shows while the side file is written, before the session file
// is touched. A killed process leaves old or new content either way; only
// against a power failure must both files reach the disk (fsync) before the
// next step, which the settings file asks for with "sessionSync=1" (it makes
// a save several times slower, so it is off by default).
enum class SessionSaveStep {
  kSideWritten,
  kSideComplete,
  kFileWritten,
  kFileComplete
};
// When set, called after each step of every save and of every completion of
// an interrupted save; lets tests stop a save at any step. Null normally.
extern void (*session_save_hook)(SessionSaveStep step);

// --- Idle sessions -----------------------------------------------------------
//
// A session file is idle when it was neither read nor written for the idle
// time: the later of its access and modification time counts (and the
// modification time of the side file of an interrupted save), so a file
// system mounted "noatime", where reading leaves the access time alone,
// judges a session by its last save, and "relatime" behaves alike. An idle
// file is expired when its session is loaded (see
// WebContext::ScanWebSessionVars) and deleted by the scans below.

// Seconds between two scans of one session directory for one prefix.
inline constexpr int kSessionScanInterval = 60;
// Longest a scan started after an answer works, in milliseconds; the files
// it did not reach wait for the next interval.
inline constexpr long kSessionScanBudgetMs = 10 * 1000;

// After an answer, at the time `now`: when a scan of `dir` for names
// containing `contains` is due (see CleanupIdleSessionFiles), starts it in
// a detached process (a new session, standard streams on /dev/null, no
// other descriptor of this process) and returns at once, so that neither a
// web server's signal to this process nor its wait for this process's end
// touches the scan. A stamp file that cannot be used is reported on
// standard error, once per interval. True when a scan was started.
bool StartIdleSessionScan(const char* dir, const char* contains, int seconds,
                          time_t now, int interval = kSessionScanInterval);
// When set, called by the detached process of StartIdleSessionScan before it
// scans; lets tests hold a scan back. Null normally.
extern void (*session_scan_hook)();

// The throttled scan, at the time `now`: unless another process is scanning
// `dir` for `contains`, or a scan began less than `interval` seconds before
// `now`, deletes the idle files as DeleteIdleSessionFiles does, for at most
// `budget_ms` milliseconds. True when it scanned.
bool CleanupIdleSessionFiles(const char* dir, const char* contains, int seconds,
                             time_t now, int interval = kSessionScanInterval,
                             long budget_ms = kSessionScanBudgetMs);
// Deletes the files in directory `dir` whose names contain `contains` and do
// not start with "+", when they are idle for more than `seconds` seconds
// before `now`, with the side files of their saves. Directories are never
// deleted, nor files that another process holds locked. Stops once
// `budget_ms` milliseconds have passed (negative: no limit). False when the
// directory cannot be read or the budget ended the scan.
bool DeleteIdleSessionFiles(const char* dir, const char* contains, int seconds,
                            time_t now, long budget_ms = -1);

// The scheduled clean-up, "vxml.cgi --clean-sessions" from a timer: deletes
// at once, unthrottled and without a time limit, the idle files of `dir`
// for `contains`. Returns the exit status: 0, or 1 after a line on `err`
// when the directory cannot be read.
int CleanSessionsNow(const char* dir, const char* contains, int seconds,
                     FILE* err);

// For the operator's self-check: whether the stamp file of the scans of
// `dir` for `contains` can be used by the owner of `dir` (the web server's
// user). False when it cannot, with what is wrong in `what` and the remedy
// in `fix`; true with `what` saying it is usable or not made yet.
bool CheckSessionStamp(const char* dir, const char* contains, UString* what,
                       UString* fix);

#endif  // CGIFRAMEWORK_WEBSESSION_H_
