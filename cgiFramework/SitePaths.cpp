#include "cgiFramework/SitePaths.h"

#include <cstring>

#include "cgiFramework/RequestInput.h"

namespace {

// True when `path` is `root` itself or lies below it.
bool UnderRoot(const char* path, const char* root) {
  size_t n = strlen(root);
  return strncmp(path, root, n) == 0 && (path[n] == '\0' || path[n] == '/');
}

}  // namespace

UString SitePath(const char* path) {
  if (path == nullptr) return UString("");
  const char* site_root = RequestParam("VXML_ROOT");
  if (site_root == nullptr || *site_root == '\0') return UString(path);
  if (!UnderRoot(path, "/Korvelund") && !UnderRoot(path, "/hosts")) {
    return UString(path);
  }
  return UString(site_root) + path;
}
