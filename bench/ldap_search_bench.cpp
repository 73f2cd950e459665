// Directory searches per second over one connection: through LDAPClient, and
// side by side through OpenLDAP's libldap doing the same searches, reading
// the same entry's name and attributes.
//
// Needs the test servers' slapd on 127.0.0.1:4000, e.g.
//   tests/servers/servers.sh start /tmp/vxml-bench
//   build/bench/ldap_search_bench
//   tests/servers/servers.sh stop /tmp/vxml-bench
// libldap is loaded at run time through the few functions used, declared
// here (its header's LDAPMod and berval clash with ours), so the benchmark
// needs no extra link flags; its case is skipped when it is not installed.
#include <dlfcn.h>
#include <sys/time.h>

#include <type_traits>

#include <benchmark/benchmark.h>

#include "kernel/OSConsole.h"
#include "kernel/OSKernel.h"
#include "ldap/LDAPClient.h"

namespace {

const char kAdmin[] = "cn=admin,o=Korvelund";
const char kFilter[] = "(GlobalTelephoneNumber=2001)";

void BM_LDAPClientSearch(benchmark::State& state) {
  os_startup(0, 0, nullptr);
  Console->SetOutput(nullptr);
  LDAPClient client("127.0.0.1", 4000);
  if (client.SimpleBind(kAdmin, "adminsecret") != 0) {
    state.SkipWithError("no directory server on 127.0.0.1:4000");
    return;
  }
  const char* attrs[] = {"cn", "guid", nullptr};
  for (auto _ : state) {
    if (client.Search("", 2, kFilter, attrs, 0, 1, 0, 0) != 0) {
      state.SkipWithError("search failed");
      return;
    }
    benchmark::DoNotOptimize(client.CurrentObject());
    char* a = nullptr;
    char* v = nullptr;
    for (int more = client.FirstAttribute(a, v); more;
         more = client.NextAttribute(a, v)) {
      benchmark::DoNotOptimize(v);
    }
    client.Flush();
  }
}
BENCHMARK(BM_LDAPClientSearch);

// The libldap functions used, resolved at run time; handles are opaque.
// berval has the same layout in libldap and in LDAPRequest.h.
struct Libldap {
  static constexpr int kSuccess = 0;
  static constexpr int kOptProtocolVersion = 0x0011;
  static constexpr int kScopeSubtree = 2;

  int (*initialize)(void** ld, const char* uri);
  int (*set_option)(void* ld, int option, const void* value);
  int (*bind)(void* ld, const char* dn, const char* mechanism, berval* cred,
              void** sctrls, void** cctrls, berval** servercred);
  int (*search)(void* ld, const char* base, int scope, const char* filter,
                char** attrs, int attrsonly, void** sctrls, void** cctrls,
                timeval* timeout, int sizelimit, void** res);
  void* (*first_entry)(void* ld, void* chain);
  char* (*get_dn)(void* ld, void* entry);
  void (*memfree)(void* p);
  char* (*first_attribute)(void* ld, void* entry, void** ber);
  char* (*next_attribute)(void* ld, void* entry, void* ber);
  berval** (*get_values)(void* ld, void* entry, const char* attr);
  void (*value_free)(berval** values);
  void (*free_ber)(void* ber, int freebuf);
  int (*msgfree)(void* msg);
  int (*unbind)(void* ld, void** sctrls, void** cctrls);

  // Loads the library; false when it or a function is missing.
  bool Load() {
    void* lib = dlopen("libldap.so", RTLD_NOW);
    if (lib == nullptr) lib = dlopen("libldap-2.5.so.0", RTLD_NOW);
    if (lib == nullptr) return false;
    bool found = true;
    auto get = [&](auto& fn, const char* name) {
      fn = reinterpret_cast<std::remove_reference_t<decltype(fn)>>(
          dlsym(lib, name));
      found = found && fn != nullptr;
    };
    get(initialize, "ldap_initialize");
    get(set_option, "ldap_set_option");
    get(bind, "ldap_sasl_bind_s");
    get(search, "ldap_search_ext_s");
    get(first_entry, "ldap_first_entry");
    get(get_dn, "ldap_get_dn");
    get(memfree, "ldap_memfree");
    get(first_attribute, "ldap_first_attribute");
    get(next_attribute, "ldap_next_attribute");
    get(get_values, "ldap_get_values_len");
    get(value_free, "ldap_value_free_len");
    get(free_ber, "ber_free");
    get(msgfree, "ldap_msgfree");
    get(unbind, "ldap_unbind_ext_s");
    return found;
  }
};

void BM_LibldapSearch(benchmark::State& state) {
  Libldap l;
  if (!l.Load()) {
    state.SkipWithError("libldap not installed");
    return;
  }
  void* ld = nullptr;
  const int version = 3;
  char password[] = "adminsecret";
  berval cred{sizeof(password) - 1, password};
  if (l.initialize(&ld, "ldap://127.0.0.1:4000/") != Libldap::kSuccess ||
      l.set_option(ld, Libldap::kOptProtocolVersion, &version) !=
          Libldap::kSuccess ||
      l.bind(ld, kAdmin, nullptr, &cred, nullptr, nullptr, nullptr) !=
          Libldap::kSuccess) {
    state.SkipWithError("no directory server on 127.0.0.1:4000");
    return;
  }
  char cn[] = "cn";
  char guid[] = "guid";
  char* attrs[] = {cn, guid, nullptr};
  for (auto _ : state) {
    void* res = nullptr;
    if (l.search(ld, "", Libldap::kScopeSubtree, kFilter, attrs, 0, nullptr,
                 nullptr, nullptr, 1, &res) != Libldap::kSuccess) {
      state.SkipWithError("search failed");
      return;
    }
    void* entry = l.first_entry(ld, res);
    char* dn = l.get_dn(ld, entry);
    benchmark::DoNotOptimize(dn);
    l.memfree(dn);
    void* ber = nullptr;
    for (char* a = l.first_attribute(ld, entry, &ber); a != nullptr;
         a = l.next_attribute(ld, entry, ber)) {
      berval** values = l.get_values(ld, entry, a);
      benchmark::DoNotOptimize(values);
      l.value_free(values);
      l.memfree(a);
    }
    l.free_ber(ber, 0);
    l.msgfree(res);
  }
  l.unbind(ld, nullptr, nullptr);
}
BENCHMARK(BM_LibldapSearch);

}  // namespace

BENCHMARK_MAIN();
