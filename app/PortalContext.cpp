#include "app/PortalContext.h"

#include <strings.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "app/KeptConnections.h"
#include "cgiFramework/RequestInput.h"
#include "cgiFramework/SQLSession.h"
#include "cgiFramework/SitePaths.h"
#include "cgiFramework/WebArgument.h"
#include "cgiFramework/WebSession.h"
#include "ldap/LDAPSession.h"

namespace {

// Prefix of every session variable that caches settings. Invariant: every
// variable that caches something for the web user is named kCachePrefix +
// a suffix (CacheName), because a change of user drops exactly the variables
// with this prefix (SaveSqlSession): a cache named otherwise would pass to
// the next user of the session.
constexpr char kCachePrefix[] = "portalContext";
// Suffixes of the cache variables that are not settings columns: the
// caller's rights and three contact attributes.
constexpr char kRightsCache[] = "UserRights";
constexpr char kReportMaskCache[] = "ReportMask";
constexpr char kSuperQueueCache[] = "SuperQueue";
constexpr char kAdministratorCache[] = "Administrator";
// The session variable that caches a yes of isCCSuperVisor.
constexpr char kSupervisorVariable[] = "isSuperVisor";
// Mailbox part of the sender address of the portal's mail.
constexpr char kNoReplyMailbox[] = "noreply";
// Currency of a customer that names none: the pound sign in UTF-8.
constexpr char kDefaultCurrency[] = "\xC2\xA3";

// The user's settings; filled with user, portal, user, portal (escaped).
constexpr char kSettingsStatement[] =
    "SELECT users.customerId, contactid ,VirtualCallServer.primaryLDAPServer,"
    "VirtualCallServer.primaryLDAPUser, VirtualCallServer.primaryLDAPPassword,"
    "VirtualCallServer.voicemailFTPPassword,VirtualCallServer.HostName, "
    "ThemeId,CustomerType,emailsourceaddr,CustomerName, cca.attribvalue as "
    "TimeZone, '%s' as AuthName,'%s' as ServerName, ca.attribvalue as "
    "Currency FROM VirtualHost INNER JOIN VirtualCallServer on "
    "VirtualHost.VirtualCallServerid = VirtualCallServer.id INNER JOIN ( "
    "select CustomerContact.id as contactid,Customer.id as customerId,"
    "SubscriberId,ThemeId,CustomerType,CustomerName FROM CustomerContact "
    "INNER JOIN Customer on CustomerContact.customerid = Customer.id where "
    "username = '%s' ) as users on users.customerid = "
    "VirtualCallServer.customerid or users.SubscriberId = "
    "VirtualCallServer.customerid  LEFT JOIN CustomerContactAttrib as cca on "
    "cca.userid=contactid AND cca.attribname='timezone' LEFT JOIN "
    "CustomerAttribute as ca on ca.customerid=users.customerid AND "
    "ca.attribname='currency'WHERE serverName = '%s'";

// Columns of the settings statement, in order; the cache variables are
// kCachePrefix followed by these names.
enum SettingsColumn {
  kCustomerId,
  kContactId,
  kLDAPServer,
  kLDAPUser,
  kLDAPPassword,
  kFTPPassword,
  kHostName,
  kThemeId,
  kCustomerType,
  kEmailHost,
  kCustomerName,
  kTimeZone,
  kAuthName,
  kServerName,
  kCurrency,
  kSettingsColumns
};
constexpr const char* kSettingsColumnNames[kSettingsColumns] = {
    "customerId",
    "contactid",
    "primaryLDAPServer",
    "primaryLDAPUser",
    "primaryLDAPPassword",
    "voicemailFTPPassword",
    "HostName",
    "ThemeId",
    "CustomerType",
    "emailsourceaddr",
    "CustomerName",
    "TimeZone",
    "AuthName",
    "ServerName",
    "Currency"};

struct ResultFree {
  void operator()(MYSQL_RES* r) const { mysql_free_result(r); }
};
// A result set, freed (and a row-by-row result read to its end) when it
// goes out of scope.
using Result = std::unique_ptr<MYSQL_RES, ResultFree>;

// Runs `sql` on `session`. Throws the statement's error text on failure.
void Execute(SQLSession& session, const char* sql) {
  if (mysql_real_query(session.mysql, sql, strlen(sql)) != 0) {
    throw _mysql_error(session.mysql, sql);
  }
}

// Runs the query `sql` and returns its result, fetched whole (`whole`) or
// to be read row by row. Throws the statement's error text on failure.
Result Select(SQLSession& session, const char* sql, bool whole) {
  Execute(session, sql);
  MYSQL_RES* r = whole ? mysql_store_result(session.mysql)
                       : mysql_use_result(session.mysql);
  if (r == nullptr) throw _mysql_error(session.mysql, sql);
  return Result(r);
}

// The next row of `r` (the result of `sql`), null after the last one.
// Throws the statement's error text when reading fails.
MYSQL_ROW NextRow(SQLSession& session, const Result& r, const char* sql) {
  MYSQL_ROW row = mysql_fetch_row(r.get());
  if (row == nullptr && mysql_errno(session.mysql) != 0) {
    throw _mysql_error(session.mysql, sql);
  }
  return row;
}

// A column read as a signed decimal number; NULL and empty text give 0.
int ToInt(const char* text) {
  return text != nullptr ? static_cast<int>(strtol(text, nullptr, 10)) : 0;
}

// Sets the connection's time zone to `zone`. Throws the statement's error.
void SetSessionTimeZone(SQLSession& session, const char* zone) {
  UString escaped;
  UString sql;
  sql.Format("SET time_zone = '%s'", session.Escape(zone, escaped));
  Execute(session, sql);
}

bool IsName(const char* varname, const char* name) {
  return varname != nullptr && strcmp(varname, name) == 0;
}

// The name of the cache variable with `suffix`.
UString CacheName(const char* suffix) {
  UString name(kCachePrefix);
  name += suffix;
  return name;
}

}  // namespace

const char kInvalidLDAPVersion[] =
    "Invalid ldapversion in the settings file: use 2 or 3";

int LDAPVersion(const char* text) {
  if (*text == '\0') return 0;
  if (strcmp(text, "2") == 0) return 2;
  if (strcmp(text, "3") == 0) return 3;
  return -1;
}

PortalContext::PortalContext(const char* Aconfig, const char* Adirname)
    : WebContext(Aconfig, Adirname),
      ldap_session(nullptr),
      sql_session(nullptr),
      customerType(CTEndUser),
      themeId(0),
      customerId(0),
      subscriberId(0),
      contactId(0),
      protocol("http"),
      authenticated(false),
      knownUser(false),
      isScheduled(false),
      background(false),
      chartMode(CHART_INLINE),
      sem(nullptr) {}

PortalContext::~PortalContext() noexcept(false) {
  KeptConnections::PutSQL(sql_session, sql_key_);
  sql_session = nullptr;
  KeptConnections::PutLDAP(ldap_session, ldap_key_);
  ldap_session = nullptr;
}

// --- Settings ----------------------------------------------------------------

void PortalContext::ReadSettings() {
  SQLSession session(GetSQLSession());
  const char* remote_user = RequestParam("REMOTE_USER");
  const char* user = remote_user != nullptr ? remote_user : "";
  bool cached =
      strcasecmp(GetWebSessionVar(CacheName(kSettingsColumnNames[kAuthName])),
                 user) == 0 &&
      strcasecmp(GetWebSessionVar(CacheName(kSettingsColumnNames[kServerName])),
                 kPortalName) == 0;
  if (cached) {
    const char* values[kSettingsColumns];
    UString names[kSettingsColumns];
    for (int i = 0; i < kSettingsColumns; ++i) {
      names[i] = CacheName(kSettingsColumnNames[i]);
      values[i] = GetWebSessionVar(names[i]);
    }
    UseSettings(values);
    administrator =
        static_cast<char*>(GetWebSessionVar(CacheName(kAdministratorCache)));
    knownUser = true;
  } else if (FetchSettings(session, user, true)) {
    knownUser = true;
  } else {
    fprintf(stderr,
            "Login details not allowed for this Portal %s for user %s\n",
            kPortalName, user);
  }
  if (!timeZone.IsEmpty()) {
    SetSessionTimeZone(session, timeZone);
    setenv("TZ", timeZone, 1);
  }
}

bool PortalContext::LookUpSettings(const char* user) {
  SQLSession session(GetSQLSession());
  return FetchSettings(session, user, false);
}

bool PortalContext::FetchSettings(SQLSession& session, const char* user,
                                  bool cache) {
  UString escaped_user;
  UString escaped_portal;
  const char* quoted_user = session.Escape(user, escaped_user);
  const char* quoted_portal = session.Escape(kPortalName, escaped_portal);
  UString sql;
  sql.Format(kSettingsStatement, quoted_user, quoted_portal, quoted_user,
             quoted_portal);
  Result result = Select(session, sql, true);
  MYSQL_ROW row = NextRow(session, result, sql);
  if (row != nullptr) UseSettings(row);
  if (cache) {
    // What an earlier user of this session had cached (rights, supervisor
    // answer) must not pass to this one, whether or not it has settings.
    SaveSqlSession(result.get(), row, kCachePrefix);
    DropSessionVars(kSupervisorVariable);
  }
  return row != nullptr;
}

void PortalContext::UseSettings(const char* const* values) {
  customerId = ToInt(values[kCustomerId]);
  customerIdString.Format("%i", customerId);
  contactId = ToInt(values[kContactId]);
  contactIdString.Format("%i", contactId);
  primaryLDAPServer = values[kLDAPServer];
  primaryLDAPUser = values[kLDAPUser];
  primaryLDAPPassword = values[kLDAPPassword];
  voicemailFTPPassword = values[kFTPPassword];
  hostName = values[kHostName];
  themeId = ToInt(values[kThemeId]);
  customerType = static_cast<CustomerType>(ToInt(values[kCustomerType]));
  const char* host = values[kEmailHost];
  emailSourceAddress.Format("%s@%s", kNoReplyMailbox,
                            host != nullptr ? host : "");
  customerName = values[kCustomerName];
  timeZone = values[kTimeZone];
  UseCurrency(values[kCurrency]);
}

void PortalContext::UseCurrency(const char* symbol) {
  currency = symbol != nullptr && *symbol != '\0' ? symbol : kDefaultCurrency;
}

void PortalContext::SaveSqlSession(MYSQL_RES* r, MYSQL_ROW& row,
                                   const char* prefix) {
  DropSessionVars(prefix);
  if (row == nullptr) return;
  unsigned int count = mysql_num_fields(r);
  MYSQL_FIELD* fields = mysql_fetch_fields(r);
  for (unsigned int i = 0; i < count; ++i) {
    UString name(prefix);
    name += fields[i].name;
    WebSessionVar& var = GetWebSessionVar(name);
    if (row[i] != nullptr) var = row[i];
  }
}

void PortalContext::DropSessionVars(const char* prefix) {
  const size_t prefix_length = strlen(prefix);
  session_vars.RemoveIf([&](WebSessionVar* var) {
    return strncmp(var->name, prefix, prefix_length) == 0;
  });
}

// --- Sessions ----------------------------------------------------------------

SQLSession* PortalContext::GetSQLSession() {
  if (sql_session != nullptr) return sql_session;
  const char* server = GetSetting(Setting::kServerAddress);
  const char* user = GetSetting(Setting::kUser);
  const char* password = GetSetting(Setting::kPassword);
  const char* db = GetSetting(Setting::kDb);
  // The time-outs that SQLSession reads from the settings are part of what
  // opened the connection.
  sql_key_ = ConnectionKey({server, user, password, db,
                            GetSetting(Setting::kSQLConnectTimeout),
                            GetSetting(Setting::kSQLReadTimeout),
                            GetSetting(Setting::kSQLWriteTimeout)});
  sql_session = KeptConnections::TakeSQL(sql_key_);
  if (sql_session == nullptr) {
    sql_session = new SQLSession(server, user, password, db);
  }
  if (!timeZone.IsEmpty()) SetSessionTimeZone(*sql_session, timeZone);
  return sql_session;
}

LDAPSession* PortalContext::GetLDAPSession(bool dontload) {
  if (ldap_session != nullptr) {
    ldap_session->Flush();
    return ldap_session;
  }
  if (dontload) return nullptr;
  // The settings file wins over the customer's call-server row.
  primaryLDAPUser = GetSetting(Setting::kLDAPUser);
  primaryLDAPPassword = GetSetting(Setting::kLDAPPassword);
  primaryLDAPServer = GetSetting(Setting::kLDAPServer);
  const char* version_text = GetSetting(Setting::kLDAPVersion);
  const int version = LDAPVersion(version_text);
  if (version < 0) throw kInvalidLDAPVersion;
  LDAPSession::SetProtocolVersion(version);
  ldap_key_ = ConnectionKey(
      {primaryLDAPServer, primaryLDAPUser, primaryLDAPPassword, version_text});
  ldap_session = KeptConnections::TakeLDAP(ldap_key_);
  if (ldap_session == nullptr) {
    ldap_session = new LDAPSession(primaryLDAPServer, primaryLDAPUser,
                                   primaryLDAPPassword, nullptr);
  }
  return ldap_session;
}

// --- Variables for statement texts -------------------------------------------

char* PortalContext::GetVariable(const char* varname) {
  if (IsName(varname, "customerId")) {
    customerIdString.Format("%d", customerId);
    return customerIdString;
  }
  if (IsName(varname, "subscriberId")) {
    subscriberIdString.Format("%d", subscriberId);
    return subscriberIdString;
  }
  if (IsName(varname, "customerSearchGroup")) return GetCustomerSearchGroup();
  return WebContext::GetVariable(varname);
}

bool PortalContext::HasVariable(const char* varname) {
  return IsName(varname, "customerId") || IsName(varname, "subscriberId") ||
         IsName(varname, "customerSearchGroup") ||
         IsName(varname, "contactId") || WebContext::HasVariable(varname);
}

char* PortalContext::GetCustomerSearchGroup() {
  if (customerType != CTSubscriber) {
    customerSearchGroup.Format("%i", customerId);
    return customerSearchGroup;
  }
  if (!customerSearchGroup.IsEmpty()) return customerSearchGroup;
  SQLSession session(GetSQLSession());
  UString sql;
  sql.Format(
      "SELECT id FROM Customer WHERE (id in (%i,%i) or (subscriberid in "
      "(%i,%i) and subscriberId != 0)) and id != 0 ",
      customerId, subscriberId, customerId, subscriberId);
  Result result = Select(session, sql, false);
  UString group;
  while (MYSQL_ROW row = NextRow(session, result, sql)) {
    if (!group.IsEmpty()) group += "','";
    group += row[0];
  }
  customerSearchGroup = group;
  return customerSearchGroup;
}

// --- Rights ------------------------------------------------------------------

void PortalContext::BuildSecurityRights(int guid) {
  if (!CachedRights()) {
    SQLSession session(GetSQLSession());
    UString sql;
    sql.Format(
        "SELECT rightid FROM CustomerUserRight WHERE customerid = '%i' "
        "and guid = '%i' ",
        customerId, guid);
    LoadRights(session, sql);
  }
  LoadContactAttribute(CacheName(kReportMaskCache), "reportmask", guid,
                       reportMask);
  LoadContactAttribute(CacheName(kSuperQueueCache), "superqueue", guid,
                       superQueue);
  LoadContactAttribute(CacheName(kAdministratorCache), "administrator", guid,
                       administrator);
}

void PortalContext::BuildSecurityRights(const UString& guid) {
  if (CachedRights()) return;
  SQLSession session(GetSQLSession());
  UString escaped;
  UString sql;
  sql.Format(
      "select rightsid from CustomerRights where customerid = '%i'union "
      "SELECT rightid FROM CustomerUserRight WHERE customerid = '%i' and "
      "guid = '%s' ",
      customerId, customerId, session.Escape(guid, escaped));
  LoadRights(session, sql);
}

bool PortalContext::CachedRights() {
  accessRights = static_cast<char*>(GetWebSessionVar(CacheName(kRightsCache)));
  return !accessRights.IsEmpty();
}

void PortalContext::LoadRights(SQLSession& session, const char* sql) {
  Result result = Select(session, sql, false);
  UString rights;
  while (MYSQL_ROW row = NextRow(session, result, sql)) {
    rights += row[0];
    rights += ',';
  }
  rights += '0';
  SetWebSessionVar(CacheName(kRightsCache), rights);
  accessRights = rights;
}

void PortalContext::LoadContactAttribute(const char* variable,
                                         const char* attribute, int guid,
                                         UString& member) {
  member = static_cast<char*>(GetWebSessionVar(variable));
  if (!member.IsEmpty()) return;
  SQLSession session(GetSQLSession());
  UString sql;
  sql.Format(
      "SELECT attribvalue FROM CustomerContactAttrib WHERE attribname = "
      "'%s' AND userId = '%i' ",
      attribute, guid);
  Result result = Select(session, sql, true);
  MYSQL_ROW row = NextRow(session, result, sql);
  if (row != nullptr && row[0] != nullptr) {
    SetWebSessionVar(variable, row[0]);
    member = row[0];
  }
}

bool PortalContext::HasUserRight(int rightId) {
  const char* entry = accessRights;
  for (;;) {
    const char* comma = strchr(entry, ',');
    // strtol skips leading white space and stops at the comma.
    bool empty = comma == entry || *entry == '\0';
    if (!empty && strtol(entry, nullptr, 10) == rightId) return true;
    if (comma == nullptr) return false;
    entry = comma + 1;
  }
}

bool PortalContext::HasSuperQueue() { return superQueue == "1"; }

bool PortalContext::isAdministrator() {
  return contactId == 1 || administrator == "1";
}

bool PortalContext::isCCSuperVisor() {
  if (HasWebSessionVar(kSupervisorVariable)) {
    return GetWebSessionVar(kSupervisorVariable) == "1";
  }
  SQLSession session(GetSQLSession());
  UString escaped;
  UString sql;
  sql.Format(
      "SELECT * FROM CallLogPermissions WHERE contactid='%i' and "
      "customerid='%s' and queue='1' ",
      contactId, session.Escape(customerIdString, escaped));
  Result result = Select(session, sql, true);
  if (NextRow(session, result, sql) == nullptr) return false;
  SetWebSessionVar(kSupervisorVariable, "1");
  return true;
}

void PortalContext::SetCurrency() {
  currency = kDefaultCurrency;
  SQLSession session(GetSQLSession());
  UString sql;
  sql.Format(
      "SELECT attribvalue FROM CustomerAttribute WHERE "
      "AttribName='currency' AND CustomerId=%d",
      customerId);
  Result result = Select(session, sql, true);
  MYSQL_ROW row = NextRow(session, result, sql);
  if (row != nullptr) UseCurrency(row[0]);
}

UString PortalContext::GetCompanyGUID() { return UString(); }

// --- Abort -------------------------------------------------------------------

void PortalContext::Abort() {
  UString name;
  name.Format("/Korvelund/fifos/%s_%u_out", GetWebSessionId(),
              static_cast<unsigned>(getpid()));
  UString fifo = SitePath(name);
  if (unlink(fifo) != 0) {
    syslog(LOG_ERR, "Abort - could not remove fifo %s errno %d\n",
           static_cast<char*>(fifo), errno);
  } else {
    syslog(LOG_INFO, "Abort - removed fifo %s\n", static_cast<char*>(fifo));
  }
  if (sql_session == nullptr || sql_session->mysql == nullptr) return;

  // The busy session is left as it is: its statement may still be running
  // on another thread. A second connection asks the server to end it.
  unsigned long thread = mysql_thread_id(sql_session->mysql);
  sql_session = nullptr;
  try {
    SQLSession* killer = GetSQLSession();
    if (mysql_kill(killer->mysql, thread) == 0) {
      syslog(LOG_INFO, "Abort - killed MySQL thread %lu\n", thread);
    } else {
      syslog(LOG_ERR, "Abort - couldn't kill MySQL thread %lu - %s\n", thread,
             mysql_error(killer->mysql));
    }
  } catch (const char* error) {
    syslog(LOG_ERR, "Abort - couldn't kill MySQL thread %lu - %s\n", thread,
           error);
  }
  delete sql_session;
  sql_session = nullptr;
  exit(1);
}
