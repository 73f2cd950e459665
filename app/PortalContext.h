// The request context of the portal: a WebContext that also knows which
// customer and contact the authenticated web user (REMOTE_USER) belongs to,
// reads that customer's settings from the portal database, owns the
// request's database connection and directory session, and caches what it
// learnt in session variables whose names begin with "portalContext", so
// that later requests of the same session need no database look-up.
//
// Single-threaded, except Abort, which may be called while the request's
// connection is busy in a statement. Database failures are thrown as bare
// text pointers (char*): the connection and statement texts of
// _mysql_error (cgiFramework/SQLSession.h).
#ifndef PORTALCONTEXT_H_
#define PORTALCONTEXT_H_

#include <mysql.h>
#include <semaphore.h>

#include "cgiFramework/WebContext.h"
#include "common/UString.h"

class LDAPSession;
class SQLSession;

// The portal's settings file (a site path, see cgiFramework/SitePaths.h).
inline constexpr char kPortalSettingsFile[] = "/Korvelund/config/Lumera.cfg";
// The portal whose settings are read: the serverName of its VirtualHost row.
// REMOTE_USER names the user.
inline constexpr char kPortalName[] = "Lumera";
// What GetLDAPSession throws for a Setting::kLDAPVersion other than "", "2"
// and "3".
extern const char kInvalidLDAPVersion[];
// The directory protocol version the settings value `text` names: 0 for ""
// (version 2, retried as 3 when the server refuses it), 2 or 3; -1 for
// anything else.
int LDAPVersion(const char* text);

// Kind of customer.
enum CustomerType : int {
  CTEndUser = 0,
  CTSubscriber = 1,  // resells to end users; may search their data
  CTReseller = 2,
  CTDistributor = 3,
  CTTC = 4,
};

// How report pages deliver charts.
enum chart_mode : int {
  CHART_FLASH = 0,
  CHART_MIME = 1,
  CHART_INLINE = 2,
};

class PortalContext : public WebContext {
 public:
  // Builds the WebContext with the settings file `Aconfig` and the report
  // directory `Adirname` (see WebContext), with no sessions open, ids 0,
  // empty texts, protocol "http" and chart mode CHART_INLINE. Throws as
  // WebContext's constructor.
  PortalContext(const char* Aconfig, const char* Adirname);
  // Hands the database connection and the directory session back to
  // KeptConnections (which closes them in a CGI process), then the
  // WebContext saves the session variables (and may throw its texts).
  ~PortalContext() noexcept(false) override;

  // --- Settings ------------------------------------------------------------

  // Fills the members for the web user REMOTE_USER of the portal "Lumera":
  // from the session cache when it was made for the same user and portal
  // (names compared without regard to case), otherwise from the database,
  // replacing every cached "portalContext" variable and the cached
  // "isSuperVisor". A user without a settings row gets the line "Login
  // details not allowed for this Portal %s for user %s\n" on standard
  // error; the members stay as they are, knownUser stays false and nothing
  // is cached, so the next request asks again. With a time zone, runs "SET time_zone" on the
  // connection and sets the environment variable TZ. Throws the connection
  // and statement error texts.
  void ReadSettings() override;
  // Replaces every session variable whose name begins with `prefix` by one
  // variable per column of `r`, named `prefix` + column name, holding the
  // column of `row` (empty for NULL). With a null `row` the variables are
  // only removed.
  void SaveSqlSession(MYSQL_RES* r, MYSQL_ROW& row, const char* prefix);
  // Runs the settings statement for the web user `user` of the portal and
  // fills the members from its first row, as ReadSettings does, but caches
  // nothing and writes no line. False (members unchanged) when there is no
  // row. Throws the connection and statement error texts.
  bool LookUpSettings(const char* user);

  // --- Sessions ------------------------------------------------------------

  // The request's database connection, opened on first use from the
  // settings' kServerAddress, kUser, kPassword and kDb (and set to
  // the user's time zone when that is known), or taken from those a worker
  // keeps (KeptConnections.h) when it was opened with the same settings.
  // Owned by the context until its destructor hands it back.
  // Throws the connection and statement error texts; no session is kept
  // after a failed connection.
  SQLSession* GetSQLSession() override;
  // The request's directory session (its pending search state flushed),
  // opened on first use with the settings' kLDAPServer (empty: the default
  // server, GetDefaultLDAPServer), kLDAPUser and kLDAPPassword, which
  // replace primaryLDAPServer, primaryLDAPUser and primaryLDAPPassword, and
  // with the protocol version kLDAPVersion (see LDAPVersion). With
  // `dontload`, returns null instead of opening one. Taken from and handed
  // back to the kept connections like the database connection. Throws
  // LDAPSession's texts and kInvalidLDAPVersion.
  LDAPSession* GetLDAPSession(bool dontload) override;

  // --- Variables for statement texts (SQLSession::QueryParse) --------------

  // "customerId" and "subscriberId" as decimal text (kept in
  // customerIdString and subscriberIdString), "customerSearchGroup" as
  // GetCustomerSearchGroup(); any other name (also "contactId") as
  // WebContext answers it: a request argument or session variable of that
  // name, else "". Valid until the member or variable changes. Throws as
  // GetCustomerSearchGroup.
  char* GetVariable(const char* varname) override;
  // True for the three names above and for "contactId" (which a statement
  // then gets as GetVariable gives it, "" when the request has none), else
  // as WebContext answers.
  bool HasVariable(const char* varname) override;
  // The ids of the customers whose data the user may search, for use inside
  // one pair of single quotes in a statement: the customer's own id, or for
  // a subscriber the ids of the subscriber and of the customers it serves,
  // joined by "','" (read once per context). Throws the statement error.
  char* GetCustomerSearchGroup();

  // --- Rights --------------------------------------------------------------

  // Loads accessRights (the user's rights of customerId for the contact id
  // `guid`, comma-separated, ending in "0") and the contact's report mask,
  // super-queue and administrator attributes, each from its session cache
  // variable when set, else from the database (caching what was found).
  // Throws the statement error texts.
  void BuildSecurityRights(int guid);
  // Loads accessRights only: the customer's rights and the rights of the
  // user `guid` (a directory guid), from the cache or the database.
  void BuildSecurityRights(const UString& guid);
  // True when `rightId` is among accessRights; so HasUserRight(0) is true
  // once the rights have been built.
  bool HasUserRight(int rightId);
  // superQueue is "1".
  bool HasSuperQueue();
  // contactId is 1 or administrator is "1".
  bool isAdministrator();
  // Whether the contact supervises a call-log queue of the customer; a yes
  // is cached in the session variable "isSuperVisor", a no is asked again.
  // Throws the statement error text.
  bool isCCSuperVisor();
  // Reloads currency from the customer's "currency" attribute; "£" when it
  // has none. Throws the statement error text.
  void SetCurrency();
  // Always empty here.
  virtual UString GetCompanyGUID();

  // Ends the request from outside the normal flow: removes the request's
  // output pipe "/Korvelund/fifos/<session id>_<pid>_out"; when a database
  // connection is open, kills its server thread over a second connection
  // and ends the process with exit status 1 (without saving the session).
  // Returns only when no connection was open. Reports to the system log.
  void Abort();

  // --- State ---------------------------------------------------------------

  LDAPSession* ldap_session;  // owned; null until GetLDAPSession opens it
  SQLSession* sql_session;    // owned; null until GetSQLSession opens it
  CustomerType customerType;  // set by ReadSettings; CTEndUser before
  int themeId;
  int customerId;
  int subscriberId;             // never changed by this program
  int contactId;                // the user's contact id; 0 for none
  UString customerSearchGroup;  // built on demand, see above
  UString customerIdString;     // customerId as decimal text
  UString contactIdString;      // contactId as decimal text
  UString subscriberIdString;   // subscriberId as decimal text (GetVariable)
  UString customerName;
  UString primaryLDAPServer;  // directory of the customer's call server
  UString primaryLDAPUser;
  UString primaryLDAPPassword;
  UString voicemailFTPPassword;
  UString hostName;            // the call server's host name
  UString emailSourceAddress;  // "noreply@" and the portal's mail host
  UString accessRights;        // e.g. "3,7,0"; empty until built
  UString reportMask;
  UString superQueue;     // "1" when set
  UString administrator;  // "1" when set
  UString protocol;       // scheme of built links
  UString timeZone;       // the user's time-zone name; "" for none
  UString currency;       // the customer's currency symbol
  bool authenticated;     // set by the dialogue code
  bool knownUser;         // ReadSettings found the user's settings row
  bool isScheduled;       // report scheduling; unused here
  bool background;        // background run; unused here
  chart_mode chartMode;
  sem_t* sem;  // named semaphore; unused here

 private:
  // Runs the settings statement for `user` on `session` and fills the
  // members from its first row; with `cache`, replaces the session's cache
  // variables by that row (none without a row). True when there was a row.
  bool FetchSettings(SQLSession& session, const char* user, bool cache);
  // Fills the customer members from the settings columns `values` (indexed
  // by the settings statement's column positions; null for NULL).
  void UseSettings(const char* const* values);
  // currency = `symbol`, or "£" when it is null or empty.
  void UseCurrency(const char* symbol);
  // Removes and deletes every session variable whose name begins with
  // `prefix`.
  void DropSessionVars(const char* prefix);
  // accessRights = the cached rights; true when they were cached.
  bool CachedRights();
  // Reads the right ids of `sql` into accessRights and its cache variable.
  void LoadRights(SQLSession& session, const char* sql);
  // member = the cache `variable`, or when that is empty the contact
  // attribute `attribute` of contact `guid`, cached when found.
  void LoadContactAttribute(const char* variable, const char* attribute,
                            int guid, UString& member);

  UString sql_key_;   // the settings that opened sql_session
  UString ldap_key_;  // the settings that opened ldap_session
};

#endif  // PORTALCONTEXT_H_
