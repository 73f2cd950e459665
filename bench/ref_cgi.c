// The floor that vxml.cgi is measured against: a CGI program that does the
// least the voice pages need of the outside world and prints the page as
// fixed text, byte for byte the page vxml.cgi writes.
//
// Built twice:
//   ref_dialout   connects to the portal's MariaDB over TCP, runs SELECT 1
//                 and prints the dial-out menu;
//   ref_callback  (REF_DIRECTORY defined) does the same, then binds to the
//                 directory server and searches the whole directory for
//                 "(GlobalTelephoneNumber=2001)" as the call-back page does,
//                 reads the entry's "cn", and prints the call-back page for
//                 2001 without greeting file.
//
// The connection reads the option group [SQLSession] of the MariaDB option
// files, as vxml.cgi does, so MYSQL_HOME's my.cnf sends both to the same
// server and port. Account, database and directory are those of the test
// servers' settings file. Any failure is written to standard error and
// ends the program with status 1 before the page is printed.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <mysql.h>
#ifdef REF_DIRECTORY
#include <ldap.h>
#endif

static const char kSqlHost[] = "127.0.0.1";
static const char kSqlUser[] = "portal";
static const char kSqlPassword[] = "portalpw";
static const char kSqlDatabase[] = "portal";

static const char kPageHead[] =
    "Cache-Control: no-cache, no-store, max-age=1, must-revalidate\n"
    "Content-type: \ttext/plain\n\n"
    "<?xml version=\"1.0\" ?>\n"
    "<!DOCTYPE vxml PUBLIC \"SpeechBrowser/2.0/DTD\" \"ignore\" >\n"
    "<vxml version=\"2.0\">\n";

#ifdef REF_DIRECTORY

static const char kLdapUri[] = "ldap://127.0.0.1:4000/";
static const char kLdapUser[] = "cn=admin,o=Korvelund";
static const char kLdapPassword[] = "adminsecret";
static const char kFilter[] = "(GlobalTelephoneNumber=2001)";

static const char kPageBody[] =
    "<form id=\"callback\">\n"
    "<block>\n"
    "<prompt>Dialling </prompt>\n"
    "</block>\n"
    "<transfer name=\"call\" dest=\"2001\"/>\n"
    "</form>\n"
    "</vxml>\n";

static void LdapFail(const char* what, int code) {
  fprintf(stderr, "ref_callback: %s: %s\n", what, ldap_err2string(code));
  exit(1);
}

// Binds as the portal's directory user with protocol version 2, as vxml.cgi
// does, searches for the number and reads the first entry's name.
static void LookUpNumber(void) {
  LDAP* ld = NULL;
  int rc = ldap_initialize(&ld, kLdapUri);
  if (rc != LDAP_SUCCESS) LdapFail("ldap_initialize", rc);
  const int version = LDAP_VERSION2;
  rc = ldap_set_option(ld, LDAP_OPT_PROTOCOL_VERSION, &version);
  if (rc != LDAP_SUCCESS) LdapFail("protocol version", rc);
  // The library only reads the credentials.
  struct berval cred = {sizeof kLdapPassword - 1, (char*)kLdapPassword};
  rc = ldap_sasl_bind_s(ld, kLdapUser, LDAP_SASL_SIMPLE, &cred, NULL, NULL,
                        NULL);
  if (rc != LDAP_SUCCESS) LdapFail("bind", rc);

  char cn[] = "cn";
  char guid[] = "guid";
  char* attrs[] = {cn, guid, NULL};
  LDAPMessage* res = NULL;
  rc = ldap_search_ext_s(ld, "", LDAP_SCOPE_SUBTREE, kFilter, attrs, 0, NULL,
                         NULL, NULL, 1, &res);
  if (rc != LDAP_SUCCESS) LdapFail("search", rc);
  LDAPMessage* entry = ldap_first_entry(ld, res);
  if (entry == NULL) LdapFail("no entry", LDAP_NO_SUCH_OBJECT);
  struct berval** names = ldap_get_values_len(ld, entry, cn);
  if (names == NULL) LdapFail("no cn", LDAP_NO_SUCH_ATTRIBUTE);
  ldap_value_free_len(names);
  ldap_msgfree(res);
  ldap_unbind_ext_s(ld, NULL, NULL);
}

#else

static const char kPageBody[] =
    "<menu id=\"menu\">\n"
    "<property name=\"inputmodes\" value=\"dtmf\"/>\n"
    "<prompt>hello</prompt>\n"
    "<prompt>Press 1 to be called back on the number you are calling "
    "from.</prompt>\n"
    "<prompt>Press 2 to enter the number to call back.</prompt>\n"
    "<choice dtmf=\"1\" "
    "next=\"vxml.cgi?pagename=dialout&amp;cmd=submit&amp;s=2002&amp;t=2001&"
    "amp;o=2002\"/>\n"
    "<choice dtmf=\"2\" "
    "next=\"vxml.cgi?pagename=dialout&amp;cmd=getnum&amp;s=2002&amp;t=2001&"
    "amp;o=2002\"/>\n"
    "</menu>\n"
    "<form id=\"mydisconnect\">\n"
    "<block>\n"
    "<disconnect/>\n"
    "</block>\n"
    "</form>\n"
    "</vxml>\n";

#endif

static void SqlFail(MYSQL* mysql, const char* what) {
  fprintf(stderr, "ref_cgi: %s: %s\n", what, mysql_error(mysql));
  exit(1);
}

// Connects over TCP to the server that the option group names, runs
// SELECT 1 and reads its single row.
static void QueryDatabase(void) {
  MYSQL mysql;
  if (mysql_init(&mysql) == NULL) SqlFail(&mysql, "mysql_init");
  if (mysql_options(&mysql, MYSQL_READ_DEFAULT_GROUP, "SQLSession") != 0) {
    SqlFail(&mysql, "mysql_options");
  }
  if (mysql_real_connect(&mysql, kSqlHost, kSqlUser, kSqlPassword, kSqlDatabase,
                         0, NULL, 0) == NULL) {
    SqlFail(&mysql, "connect");
  }
  if (mysql_query(&mysql, "SELECT 1") != 0) SqlFail(&mysql, "SELECT 1");
  MYSQL_RES* result = mysql_store_result(&mysql);
  if (result == NULL) SqlFail(&mysql, "store result");
  MYSQL_ROW row = mysql_fetch_row(result);
  if (row == NULL || row[0] == NULL || strcmp(row[0], "1") != 0) {
    SqlFail(&mysql, "SELECT 1 gave no 1");
  }
  mysql_free_result(result);
  mysql_close(&mysql);
}

int main(void) {
  QueryDatabase();
#ifdef REF_DIRECTORY
  LookUpNumber();
#endif
  fputs(kPageHead, stdout);
  fputs(kPageBody, stdout);
  return fflush(stdout) == 0 ? 0 : 1;
}
