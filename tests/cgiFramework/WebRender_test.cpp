// The output sinks: standard output, a string, and a stdio stream.
#include "cgiFramework/WebRender.h"

#include <cstdio>
#include <string>

#include <gtest/gtest.h>

namespace {

TEST(WebRenderTest, UStringSinkAccumulates) {
  UStringWebRender out;
  out.printf("<%s>", "a");
  out.printf("%d|%s", 12, "");
  EXPECT_STREQ(out.output, "<a>12|");
  EXPECT_STREQ(out.buffer, "12|");
  std::string big(100000, 'z');
  out.printf("%s", big.c_str());
  EXPECT_EQ(out.output.GetLength(), 6 + 100000);
}

TEST(WebRenderTest, StdoutSinkWritesToStandardOutput) {
  StdoutWebRender out;
  WebRender* sink = &out;
  testing::internal::CaptureStdout();
  sink->printf("Content-type: %s\n\n", "text/html");
  sink->printf("%05d", 42);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "Content-type: text/html\n\n00042");
}

TEST(WebRenderTest, FileSinkWritesToItsStreamOrNowhere) {
  FileWebRender out;
  EXPECT_EQ(out.f, nullptr);
  out.printf("dropped %s", "text");
  out.f = tmpfile();
  ASSERT_NE(out.f, nullptr);
  out.printf("kept %d", 1);
  rewind(out.f);
  char line[32] = "";
  ASSERT_NE(fgets(line, sizeof line, out.f), nullptr);
  EXPECT_STREQ(line, "kept 1");
  fclose(out.f);
}

}  // namespace
