#include "app/KeptConnections.h"

#include <poll.h>

#include "cgiFramework/SQLSession.h"
#include "ldap/LDAPSession.h"

namespace {

bool enabled = false;
SQLSession* kept_sql = nullptr;
UString kept_sql_key;
LDAPSession* kept_ldap = nullptr;
UString kept_ldap_key;

// True when the directory connection of `session` can take the next
// request: bound, and nothing waiting on its socket (an end of stream after
// a server restart or idle time-out, or an answer nobody asked for).
bool Quiet(LDAPSession& session) {
  LDAPClient* client = session.ldap_client;
  if (client == nullptr || client->state != LDAPClient::BOUND) return false;
  struct pollfd p = {client->socket.s, POLLIN, 0};
  return client->socket.s >= 0 && poll(&p, 1, 0) == 0;
}

}  // namespace

void KeptConnections::Enable() { enabled = true; }

bool KeptConnections::Enabled() { return enabled; }

SQLSession* KeptConnections::TakeSQL(const UString& key) {
  SQLSession* session = kept_sql;
  kept_sql = nullptr;
  if (session == nullptr) return nullptr;
  if (kept_sql_key != key || mysql_reset_connection(session->mysql) != 0) {
    delete session;
    return nullptr;
  }
  return session;
}

void KeptConnections::PutSQL(SQLSession* session, const UString& key) {
  if (session == nullptr) return;
  if (!enabled || session->mysql == nullptr) {
    delete session;
    return;
  }
  delete kept_sql;
  kept_sql = session;
  kept_sql_key = key;
}

LDAPSession* KeptConnections::TakeLDAP(const UString& key) {
  LDAPSession* session = kept_ldap;
  kept_ldap = nullptr;
  if (session == nullptr) return nullptr;
  if (kept_ldap_key != key || !Quiet(*session)) {
    delete session;
    return nullptr;
  }
  return session;
}

void KeptConnections::PutLDAP(LDAPSession* session, const UString& key) {
  if (session == nullptr) return;
  if (!enabled || !session->created || session->ldap_client == nullptr ||
      session->ldap_client->state != LDAPClient::BOUND) {
    delete session;
    return;
  }
  session->Flush();
  delete kept_ldap;
  kept_ldap = session;
  kept_ldap_key = key;
}

void KeptConnections::CloseAll() {
  delete kept_sql;
  kept_sql = nullptr;
  delete kept_ldap;
  kept_ldap = nullptr;
}

UString ConnectionKey(std::initializer_list<const char*> values) {
  // Settings values end at a line end, so a line end cannot be part of one.
  UString key;
  for (const char* value : values) {
    key += value != nullptr ? value : "";
    key += '\n';
  }
  return key;
}
