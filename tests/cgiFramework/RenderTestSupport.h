// Test helpers for page rendering: a request context in a private site tree
// and rendering of an element into a string.
#ifndef TESTS_CGIFRAMEWORK_RENDERTESTSUPPORT_H_
#define TESTS_CGIFRAMEWORK_RENDERTESTSUPPORT_H_

#include <memory>
#include <string>

#include "cgiFramework/WebContext.h"
#include "cgiFramework/WebItem.h"
#include "cgiFramework/WebRender.h"
#include "tests/cgiFramework/WebTestSupport.h"

namespace webtest {

// The whole output of rendering `item` once on `context`.
inline std::string Rendered(WebItem& item, WebContext& context) {
  UStringWebRender out;
  item.Render(context, &out);
  return static_cast<char*>(out.output);
}

// A site fixture whose context is built by Start() after the test has set
// up the CGI environment (or by SetUp with an empty request).
class RenderFixture : public SiteFixture {
 protected:
  void SetUp() override {
    SiteFixture::SetUp();
    setenv("SCRIPT_NAME", "/vxml.cgi", 1);
  }
  void TearDown() override {
    context.reset();
    SiteFixture::TearDown();
  }

  // Builds the context from the current environment.
  WebContext& Start() {
    context.reset();
    context = std::make_unique<WebContext>(nullptr, nullptr);
    return *context;
  }

  // Renders `item` on the context, building an empty-request context first
  // when the test has none.
  std::string Render(WebItem& item) {
    if (!context) Start();
    return Rendered(item, *context);
  }

  std::unique_ptr<WebContext> context;
};

}  // namespace webtest

#endif  // TESTS_CGIFRAMEWORK_RENDERTESTSUPPORT_H_
