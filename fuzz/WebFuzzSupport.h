// Shared set-up of the request-context fuzz targets: the kernel started once,
// a private site root (so that no context touches the host's /Korvelund), an
// empty CGI environment, and a check that ends the run on a broken promise.
#ifndef FUZZ_WEBFUZZSUPPORT_H_
#define FUZZ_WEBFUZZSUPPORT_H_

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "cgiFramework/WebContext.h"
#include "kernel/OSKernel.h"

namespace webfuzz {

// Starts the kernel and prepares the site root and environment; once per
// process.
inline void Start() {
  static const bool started = [] {
    os_startup(0, 0, nullptr);
    char pattern[] = "/tmp/vxml-fuzz-XXXXXX";
    if (mkdtemp(pattern) == nullptr) abort();
    std::string root = pattern;
    mkdir((root + "/Korvelund").c_str(), 0700);
    mkdir((root + "/Korvelund/sessions").c_str(), 0700);
    setenv("VXML_ROOT", root.c_str(), 1);
    for (const char* name :
         {"QUERY_STRING", "CONTENT_LENGTH", "CONTENT_TYPE", "HTTP_COOKIE"}) {
      unsetenv(name);
    }
    setenv("SCRIPT_NAME", "/cgi-bin/vxml.cgi", 1);
    return true;
  }();
  (void)started;
}

// A context without settings file, body or cookies, built once.
inline WebContext& Context() {
  Start();
  static WebContext* context = new WebContext("", nullptr);
  return *context;
}

// The input as a C string: the bytes up to the first zero byte, as the
// environment and the parsers see them.
inline std::string Text(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  return text.substr(0, text.find('\0'));
}

// Ends the run with `what` when `ok` is false.
inline void Check(bool ok, const char* what) {
  if (ok) return;
  fprintf(stderr, "broken: %s\n", what);
  abort();
}

}  // namespace webfuzz

#endif  // FUZZ_WEBFUZZSUPPORT_H_
