#include "ldap/LDAPSession.h"

#include <cstdio>

#include "cgiFramework/WebContext.h"
#include "kernel/OSConsole.h"

namespace {

const char kConnectFailed[] =
    "LDAPSession Failed to connect to server=%s user=%s\n";
const char kBindFailed[] =
    "LDAPSession Failed to authenticate with server=%s user=%s\n";

}  // namespace

UString* LDAPSession::proxyAddr = nullptr;
unsigned short LDAPSession::proxyPort = 0;
int LDAPSession::protocolVersion = 0;
char LDAPSession::error_buffer[LDAPSession::kErrorSize];

LDAPSession::LDAPSession(const char* Aserver, const char* userName,
                         const char* password, LDAPSession* session)
    : ldap_client(nullptr), res(0), created(false) {
  Init(session, Aserver, userName, password);
}

LDAPSession::LDAPSession(LDAPSession* session, const char* server,
                         const char* userName, const char* password)
    : ldap_client(nullptr), res(0), created(false) {
  Init(session, server, userName, password);
}

LDAPSession::LDAPSession(LDAPSession* session)
    : ldap_client(nullptr), res(0), created(false) {
  Init(session, "", nullptr, nullptr);
}

LDAPSession::~LDAPSession() { Close(); }

void LDAPSession::SetProxy(const char* addr, unsigned short port) {
  delete proxyAddr;
  proxyAddr = addr != nullptr ? new UString(addr) : nullptr;
  proxyPort = port;
}

void LDAPSession::SetProtocolVersion(int version) {
  protocolVersion = version == 2 || version == 3 ? version : 0;
}

void LDAPSession::Init(LDAPSession* session, const char* Aserver,
                       const char* userName, const char* password) {
  // Opened again, the session first lets go of the client it holds.
  Close();
  ldap_client = nullptr;
  created = false;
  res = 0;

  if (Aserver != nullptr && *Aserver != '\0') {
    ldap_server = Aserver;
  } else if (session != nullptr) {
    ldap_server = session->ldap_server;
  } else {
    ldap_server = GetDefaultLDAPServer();
  }
  ldap_user = userName != nullptr ? userName : GetDefaultLDAPUserName();
  ldap_password = password != nullptr ? password : GetDefaultLDAPPassword();

  if (MayShare(session, userName, password)) {
    ldap_client = session->ldap_client;
    ldap_user = session->ldap_user;
    ldap_password = session->ldap_password;
    return;
  }

  res = -1;
  if (ldap_server.IsEmpty()) {
    Console->Print("LDAPSession empty ldap_server");
    return;
  }
  if (char* failure = Connect(
          proxyAddr != nullptr ? static_cast<char*>(*proxyAddr) : nullptr,
          proxyPort)) {
    Console->Print("LDAPSession error %s", failure);
    throw failure;
  }
}

bool LDAPSession::MayShare(const LDAPSession* session, const char* userName,
                           const char* password) const {
  if (session == nullptr || session->ldap_server != ldap_server) return false;
  if (userName == nullptr && password == nullptr) return true;
  return session->ldap_user == ldap_user &&
         session->ldap_password == ldap_password;
}

void LDAPSession::Close() {
  if (created) {
    delete ldap_client;
    ldap_client = nullptr;
    created = false;
  } else if (ldap_client != nullptr) {
    ldap_client->Flush();
  }
}

void LDAPSession::CheckConnection() {
  if (ldap_client != nullptr && ldap_client->state == LDAPClient::BOUND) return;
  res = -1;
  if (ldap_server.IsEmpty()) {
    ldap_server = GetDefaultLDAPServer();
    if (ldap_user.IsEmpty()) ldap_user = GetDefaultLDAPUserName();
    if (ldap_password.IsEmpty()) ldap_password = GetDefaultLDAPPassword();
  }
  if (created) delete ldap_client;
  ldap_client = nullptr;
  created = false;
  if (char* failure = Connect(nullptr, 0)) throw failure;
}

char* LDAPSession::Connect(const char* proxy, unsigned short proxy_port) {
  ldap_client = new LDAPClient(ldap_server, kPort, proxy, proxy_port);
  created = true;
  const char* format = kConnectFailed;
  if (ldap_client->state == LDAPClient::CONNECTED) {
    res = ldap_client->SimpleBind(ldap_user, ldap_password, protocolVersion);
    if (res == 0) return nullptr;
    format = kBindFailed;
  }
  Close();
  // snprintf cuts a long server or bind name at the end of the buffer.
  std::snprintf(error_buffer, sizeof(error_buffer), format,
                static_cast<char*>(ldap_server), static_cast<char*>(ldap_user));
  return error_buffer;
}

// --------------------------------------------------------------- forwarding

int LDAPSession::Search(const char* base, int scope, const char* filter,
                        const char* const* attrs, int attrsonly, int sizelimit,
                        int timeout, int deref) {
  if (ldap_client == nullptr) return -1;
  const int status = ldap_client->Search(base, scope, filter, attrs, attrsonly,
                                         sizelimit, timeout, deref);
  if (status == LDAPClient::kUnmatched) {
    Close();
    return -1;
  }
  return status;
}

int LDAPSession::GetNextEntry(int& errorcode) {
  return ldap_client != nullptr ? ldap_client->GetNextEntry(errorcode, 0) : -1;
}

int LDAPSession::FirstAttribute(char*& a, char*& v) {
  return ldap_client != nullptr ? ldap_client->FirstAttribute(a, v) : 0;
}

int LDAPSession::NextAttribute(char*& a, char*& v) {
  return ldap_client != nullptr ? ldap_client->NextAttribute(a, v) : 0;
}

int LDAPSession::Modify(const char* dn, const LDAPMod* mods) {
  return ldap_client != nullptr ? ldap_client->Modify(dn, mods) : -1;
}

int LDAPSession::ModRDN(const char* dn, const char* newrdn) {
  return ldap_client != nullptr ? ldap_client->ModRDN(dn, newrdn) : -1;
}

int LDAPSession::Add(const char* dn, const LDAPMod* attrs) {
  return ldap_client != nullptr ? ldap_client->Add(dn, attrs) : -1;
}

int LDAPSession::Delete(const char* dn) {
  return ldap_client != nullptr ? ldap_client->Delete(dn) : -1;
}

char* LDAPSession::CurrentObject() {
  static char empty[] = "";
  char* name = ldap_client != nullptr ? ldap_client->CurrentObject() : nullptr;
  return name != nullptr ? name : empty;
}

void LDAPSession::Flush() {
  if (ldap_client != nullptr) ldap_client->Flush();
}
