// The call-back page against the test directory: its search runs under the
// settings file's "ldapbase", or under "" when the key is absent, as the
// directory's log shows.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "app/PortalContext.h"
#include "app/VXML.h"
#include "cgiFramework/SitePaths.h"
#include "cgiFramework/WebRender.h"
#include "kernel/OSKernel.h"

namespace {

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

TEST(CallbackLive, SearchesUnderTheConfiguredBase) {
  os_startup(0, 0, nullptr);
  const char* log = getenv("VXML_LDAP_LOG");
  ASSERT_NE(log, nullptr) << "run through ctest";
  const std::string settings =
      ReadAll(static_cast<char*>(SitePath(kPortalSettingsFile)));
  const char kConfig[] = "/Korvelund/config/callback-base.cfg";
  const std::string config = static_cast<char*>(SitePath(kConfig));
  setenv("REMOTE_USER", "alice", 1);
  setenv("QUERY_STRING", "pagename=callback&dest=2001", 1);
  for (const std::string base : {"", "ou=Users,o=Korvelund"}) {
    std::ofstream(config) << settings
                          << (base.empty() ? "" : "\nldapbase=" + base + "\n");
    const size_t logged = ReadAll(log).size();
    PortalContext context(kConfig, "");
    UStringWebRender out;
    DisplayPage(context, &out);
    EXPECT_NE(std::string(out.output).find("dest=\"2001\""), std::string::npos);
    const std::string searches = ReadAll(log).substr(logged);
    EXPECT_NE(searches.find("SRCH base=\"" + base +
                            "\" scope=2 deref=0 "
                            "filter=\"(GlobalTelephoneNumber=2001)\""),
              std::string::npos)
        << searches;
  }
  unlink(config.c_str());
  unsetenv("REMOTE_USER");
  unsetenv("QUERY_STRING");
}

}  // namespace
