// The request context of the CGI framework: one object per process that
// gathers the request (settings-file, query-string and body arguments,
// cookies), keeps the session variables and their session file, builds the
// program's own URLs, and carries the redirect targets that the page renderer
// reads.
//
// Single-threaded: one context serves one request. Arguments, cookies and
// session variables are owned by the context; references returned by the
// lookups stay valid until the element is removed (RemoveWebArgument,
// FlushArguments, a new ScanWebArguments / ScanWebCookies /
// ScanWebSessionVars) or the context is destroyed.
//
// Errors are thrown as bare text pointers (const char*); each throwing
// operation names its texts.
#ifndef CGIFRAMEWORK_WEBCONTEXT_H_
#define CGIFRAMEWORK_WEBCONTEXT_H_

#include <cstdarg>

#include "cgiFramework/LockedFile.h"
#include "cgiFramework/Settings.h"
#include "cgiFramework/WebArgument.h"
#include "cgiFramework/WebCookie.h"
#include "cgiFramework/WebSession.h"
#include "common/UString.h"
#include "kernel/OSList.h"
#include "kernel/OSTypedList.h"

class JsonObj;
class LDAPSession;
class SQLSession;

// Largest request body accepted when the settings file sets no
// Setting::kMaxPostSize (in bytes).
constexpr long kDefaultMaxPostSize = 16L * 1024 * 1024;
// Most arguments a request body may hold (url-encoded pairs with a new name,
// or multipart parts). Each costs a few hundred bytes however short it is
// written, so the count is bounded as well as the size.
constexpr int kMaxBodyArguments = 10000;
// Most cookies read from the request's cookie header; later ones are
// ignored.
constexpr int kMaxCookies = 1000;

class WebContext {
 public:
  // Builds the context and reads the request: the pairs of the settings
  // file `Aconfig` (null: "/Korvelund/WebConfig.cfg"; its syntax in
  // cgiFramework/Settings.h) as Hidden arguments,
  // then QUERY_STRING and the body (CONTENT_LENGTH bytes read from file
  // descriptor 0) as Normal arguments, then the cookies of HTTP_COOKIE.
  // `Adirname` is the report directory (null: "/Korvelund/reports/").
  // Creates the session directory when it is missing. Sets global_context.
  //
  // Throws "POST Data no boundary" for a multipart body whose content type
  // names no boundary, "POST Data too large" for a body over the limit
  // (Setting::kMaxPostSize, else kDefaultMaxPostSize), "POST Data
  // too many arguments" for a body of more than kMaxBodyArguments arguments,
  // and the JSON parser's texts for a bad "application/x-json" body.
  WebContext(const char* Aconfig, const char* Adirname);
  // Saves the session variables (SaveWebSessionVars(null)) and frees the
  // body and the JSON tree. May throw the LockedFile texts of the save.
  virtual ~WebContext() noexcept(false);
  WebContext(const WebContext&) = delete;
  WebContext& operator=(const WebContext&) = delete;

  // --- Hooks for derived contexts -----------------------------------------

  // Text of the argument `varname` if one exists, else of the session
  // variable `varname` if one exists, else "". Creates nothing.
  virtual char* GetVariable(const char* varname);
  // True when an argument or a session variable `varname` exists.
  virtual bool HasVariable(const char* varname);
  // Reads application settings; does nothing here.
  virtual void ReadSettings();
  // The directory and SQL sessions; null here.
  virtual LDAPSession* GetLDAPSession(bool dontload);
  virtual SQLSession* GetSQLSession();

  // --- Arguments -----------------------------------------------------------

  // Discards all arguments and reads them again: the settings file, then
  // `cl` (a query text) when given, otherwise the CGI request. The body is
  // read from standard input only once per context. Marks "sessionId"
  // Context. Throws as the constructor.
  void ScanWebArguments(const char* cl);
  // Parses `cl` in query-string syntax ("&" separated name=value pairs,
  // "+" and "%" escapes, quotes protect "&"; see ReadArgumentPair) and
  // appends each argument whose name is new. With Hidden a line end also
  // ends a value, quoted or not, as in the settings file (which the
  // constructor reads line by line, see cgiFramework/Settings.h); otherwise
  // quotes protect line ends too.
  void AddWebArguments(const char* cl, WebArgument::Type type);
  // The first argument called `name` of type `type` (any type for Any). When
  // there is none, appends a new empty one of that type (Normal for Any).
  WebArgument& GetWebArgument(const char* name, WebArgument::Type type);
  // GetWebArgument(name, Any).
  WebArgument& operator[](const char* name);
  // True when an argument `name` of any type exists. Creates nothing.
  bool HasWebArgument(const char* name);
  // The settings file's value of `key` (its Hidden argument); "" when the
  // file does not set it. Creates nothing. Valid as GetWebArgument's text.
  char* GetSetting(Setting key);
  void SetWebArgument(const char* name, const char* value);
  void SetWebArgument(const char* name, int value);
  // Removes and deletes every argument called `name`.
  void RemoveWebArgument(const char* name);
  // Opens a nesting level for arguments made from now on.
  void NewArguments();
  // With a negative `Adepth`, closes one level; then deletes the arguments
  // made on levels deeper than the current one.
  void FlushArguments(int Adepth);
  // Reorders all arguments by their text, as numbers or as text without
  // regard to case, ascending or descending. Equal keys keep the first of
  // them first, then the others from the last to the second.
  void SortWebArguments(bool numericalOrder, bool descendingOrder);
  // True when the query part of `url` carries `name` (case-insensitive)
  // with exactly this request's value of that argument (created when
  // absent) as the whole item.
  bool IsSameArgument(const char* name, const char* url);

  // --- Cookies and URLs (WebCookie.cpp) ----------------------------------

  // Replaces the cookies by those of HTTP_COOKIE ("name=value; ..."), taken
  // as they stand. Only the first kMaxCookies are read: no browser sends
  // more, and each costs a few hundred bytes however short.
  void ScanWebCookies();
  // The first cookie called `name`; appends a new one (not updated) when
  // there is none.
  WebCookie& GetWebCookie(const char* name);
  bool HasWebCookie(const char* name);
  void SetWebCookie(const char* name, const char* value);
  void SetWebCookie(const char* name, int value);

  // The program's URL (SCRIPT_NAME) with a query of the Context arguments
  // (GetURL), also the Global ones (GetPageURL), or also the Normal ones
  // (GetFullURL), followed by the caller's printf-formatted arguments
  // (`format` may be null). Arguments with an empty value, and arguments
  // whose name the formatted text already sets, are left out. Values are
  // escaped with AppendSafe; the formatted text with blank, "%" and single
  // quote escaped, and cut at 4095 bytes. The text returned stays valid
  // until the next URL is built on this context.
  char* GetURL(const char* format, ...) __attribute__((format(printf, 2, 3)));
  char* GetPageURL(const char* format, ...)
      __attribute__((format(printf, 2, 3)));
  char* GetFullURL(const char* format, ...)
      __attribute__((format(printf, 2, 3)));
  // The builder behind the three above: `script` starts with SCRIPT_NAME,
  // `global` takes Global arguments, `all` takes Normal ones.
  char* GetSpecificURL(const char* format, va_list vargs, bool script,
                       bool global, bool all);

  // --- Sessions (WebSession.cpp) -------------------------------------------

  // Starts session handling with file prefix `prefix`: with `useArguments`
  // the identifier travels in the Context argument "sessionId" (else in the
  // cookie "sessionId"); `seconds` (0: none) is the idle time after which
  // CleanupIdleSessions deletes session files of this prefix; then the
  // session is loaded (ScanWebSessionVars(null)). Throws the LockedFile texts
  // and "Unable to read session file".
  void InitSession(const char* prefix, int seconds, bool useArguments);
  // Deletes the session files not read for longer than the idle time, for
  // the prefix and idle time of this process's last InitSession (nothing
  // when there was none, or its idle time was 0). Throttled: at most one
  // process scans at a time and at most once a minute, so an idle file may
  // live up to a minute longer; files in use are never deleted (see
  // CleanupIdleSessionFiles). Meant to run after the answer is complete and
  // standard output is closed. Throws nothing.
  static void CleanupIdleSessions();
  // Loads the session `sessionId`, or the current one, or the one named by
  // the "sessionId" argument or cookie (a decimal number of at most 20
  // digits; anything else counts as none, and an argument holding it is
  // emptied). True when a session of this client address was loaded; false
  // without a prefix or an identifier. An unknown identifier is adopted with a
  // new file. A session saved for another client address is refused: the Hidden
  // argument "invalidSessionId" names it, a line goes to standard error, its
  // file is left alone and this request continues with a new session. A
  // save that was interrupted is completed first (see SessionSaveStep).
  // Throws the LockedFile texts and "Unable to read session file"; a session
  // that could not be loaded is then not saved by this context.
  bool ScanWebSessionVars(const char* sessionId);
  // Rewrites the session file with every variable that has a name, as
  // "name=value" lines (see WebSession.h: no text can add lines of its
  // own), so that a kill or a full disk at any point leaves either the old
  // or the new content (see SessionSaveStep; Setting::kSessionSync set to
  // "1" also flushes to the disk). Does nothing
  // without a prefix or identifier, when the file is gone, or when this
  // request could not load the session. Throws the LockedFile texts and
  // "Unable to write session file" (the old content then stays, or the next
  // load completes the new one).
  void SaveWebSessionVars(const char* sessionId);
  // Makes a new random identifier (or adopts the current one when it has no
  // file yet), creates its empty file, stores the identifier in the
  // "sessionId" argument when that exists (else in the cookie) and sets the
  // variables REMOTE_ADDR and REMOTE_PORT. Does nothing without a prefix.
  // Throws "Unable to create session file".
  void CreateSessionId();
  // The first session variable called `name`, creating the session (and
  // then the variable) first when needed.
  WebSessionVar& GetWebSessionVar(const char* name);
  // True when such a variable exists; creates nothing.
  bool HasWebSessionVar(const char* name);
  void SetWebSessionVar(const char* name, const char* value);
  void SetWebSessionVar(const char* name, int value);
  // The current session identifier ("" when none).
  char* GetWebSessionId();
  // Deletes the current session's file (and the side file of an interrupted
  // save); the variables stay in memory and the save at the end writes
  // nothing.
  void DeleteSession();
  // Deletes at once, unthrottled, the files in directory `path` whose names
  // contain `contains` and do not start with "+", when their last access
  // lies more than `seconds` seconds in the past and no other process holds
  // them locked (see DeleteIdleSessionFiles).
  void CleanupDir(const char* path, const char* contains, int seconds);

  // --- State ---------------------------------------------------------------

  OSTypedList<WebArgument> arguments;       // arrival order; owned
  OSTypedList<WebSessionVar> session_vars;  // file then creation order
  OSTypedList<WebCookie> cookies;           // arrival then creation order
  OSIndirectList reports;                   // kept for report code; unused here
  UString argument_string;                  // the last URL built
  JsonObj* json_post_data;    // parsed "application/x-json" body; owned
  UString session_id;         // current session identifier, "" for none
  UString session_prefix;     // session file prefix, "" for no sessions
  UString internal_redirect;  // relative URL of a further pass in-process
  UString client_redirect;    // URL the browser goes on to, "<back>" or
                              // "<ignore>"; "" for none
  int client_redirect_time;   // delay of client_redirect in seconds
  UString config;             // settings file read as Hidden arguments
  UString dirname;            // report directory
  int depth;                  // current argument nesting level
  char* fbuf;                 // request body (NUL-terminated), owned; file
                              // arguments point into it
  void* private_data;         // for the application; null at start

  // The most recently constructed context.
  static WebContext* global_context;

 private:
  // Finds the first argument called `name` of type `type` (any for Any);
  // null when there is none.
  WebArgument* FindWebArgument(const char* name, WebArgument::Type type);
  WebSessionVar* FindWebSessionVar(const char* name);
  WebCookie* FindWebCookie(const char* name);
  // Reads the CGI request: QUERY_STRING, then the body by content type.
  void ScanRequest();
  // Reads `content_length` bytes (or what arrives) of the body into fbuf.
  void ReadBody(long content_length);
  // Splits the multipart body in fbuf into arguments.
  void ParseMultipart(const char* content_type);
  // Reads the settings file as Hidden arguments, the first of each name. A
  // file that is missing, unreadable or not a regular file is skipped.
  void ScanConfig();
  // Appends a new argument at the current depth.
  void AppendArgument(const char* name, const char* value,
                      WebArgument::Type type);
  // AddWebArguments, throwing "POST Data too many arguments" when `cl`
  // holds more than `limit` new names.
  void AddArguments(const char* cl, WebArgument::Type type, int limit);
  // Frees the body and the JSON tree; forgets global_context.
  void ReleaseRequest();
  // Path of the session file of the current prefix and identifier.
  UString SessionPath();
  // Takes the identifier from the "sessionId" argument or cookie when it is
  // a valid one.
  void AdoptRequestSessionId();
  // Refuses the loaded session (saved for the address `saved_addr`) and
  // starts a new one for this request.
  void RefuseSession(const char* path, const char* saved_addr);

  long body_length;     // number of bytes in fbuf
  bool session_locked;  // the session file could not be loaded this
                        // request: leave it as it is at the end
};

// Directory connection values used when nothing else is configured:
// "127.0.0.1", "INTERNAL" and the built-in password.
const char* GetDefaultLDAPServer();
const char* GetDefaultLDAPUserName();
const char* GetDefaultLDAPPassword();

#endif  // CGIFRAMEWORK_WEBCONTEXT_H_
