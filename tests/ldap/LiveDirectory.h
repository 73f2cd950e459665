// Helpers for tests against the real directory server of the test fixture
// (tests/servers/README.md): its settings, read-backs with ldapsearch, and
// the server's log of what it was sent.
#ifndef TESTS_LDAP_LIVEDIRECTORY_H_
#define TESTS_LDAP_LIVEDIRECTORY_H_

#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

namespace live {

inline std::string Env(const char* name, const char* fallback) {
  const char* v = std::getenv(name);
  return v != nullptr ? v : fallback;
}
inline std::string AdminDN() {
  return Env("VXML_LDAP_ADMIN_DN", "cn=admin,o=Korvelund");
}
inline std::string AdminPassword() {
  return Env("VXML_LDAP_ADMIN_PASSWORD", "adminsecret");
}
inline std::string Users() {
  return "ou=Users," + Env("VXML_LDAP_SUFFIX", "o=Korvelund");
}

// ldapsearch's LDIF (unwrapped) for the entries under `base` matching
// `filter`, with the blank-separated `attrs`; its exit status (32: no such
// object) goes to `*status` when given.
inline std::string LdapSearch(const std::string& base,
                              const std::string& filter,
                              const std::string& attrs, int* status = nullptr) {
  const std::string command = "ldapsearch -x -LLL -o ldif-wrap=no -H " +
                              Env("VXML_LDAP_URI", "ldap://127.0.0.1:4000/") +
                              " -b \"" + base + "\" \"" + filter + "\" " +
                              attrs + " 2>&1";
  std::string out;
  FILE* p = popen(command.c_str(), "r");
  char chunk[4096];
  for (size_t n; p != nullptr && (n = fread(chunk, 1, sizeof(chunk), p)) > 0;)
    out.append(chunk, n);
  const int rc = p != nullptr ? pclose(p) : -1;
  if (status != nullptr) *status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
  return out;
}

// The server's log from byte `from` on.
inline std::string Log(size_t from) {
  std::ifstream in(Env("VXML_LDAP_LOG", ""), std::ios::binary);
  std::stringstream all;
  all << in.rdbuf();
  const std::string text = all.str();
  return from < text.size() ? text.substr(from) : "";
}
inline size_t LogSize() { return Log(0).size(); }
// Whether `needle` appears in the log after byte `from`, allowing the server
// two seconds to write it.
inline bool LogHas(size_t from, const std::string& needle) {
  for (int i = 0; i < 100 && Log(from).find(needle) == std::string::npos; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return Log(from).find(needle) != std::string::npos;
}

}  // namespace live

#endif  // TESTS_LDAP_LIVEDIRECTORY_H_
