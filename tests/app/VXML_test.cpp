// The voice dialogue pages: the exact bytes of every page the dispatcher
// writes, recordings streamed to standard output and the archive paths
// refused, and the spoken-prompt helpers. The directory look-up of the
// call-back page is checked against a real directory in
// tests/e2e/VxmlLive_test.cpp.
#include "app/VXML.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <fstream>
#include <string>
#include <thread>

#include "app/PortalContext.h"
#include "cgiFramework/WebArgument.h"
#include "cgiFramework/WebItem.h"
#include "cgiFramework/WebRender.h"
#include "tests/cgiFramework/WebTestSupport.h"

namespace {

// The five header lines of every VoiceXML answer.
const char kVoiceHeader[] =
    "Cache-Control: no-cache, no-store, max-age=1, must-revalidate\n"
    "Content-type: \ttext/plain\n"
    "\n"
    "<?xml version=\"1.0\" ?>\n"
    "<!DOCTYPE vxml PUBLIC \"SpeechBrowser/2.0/DTD\" \"ignore\" >\n"
    "<vxml version=\"2.0\">\n";

const char kArchive[] = "/hosts/callserver1/Korvelund/Mailbox/Archive/";

// A portal context without database or directory: its settings are those
// of a user of the call server "callserver1".
class TestPortalContext : public PortalContext {
 public:
  TestPortalContext() : PortalContext("/Korvelund/config/Lumera.cfg", "") {}

  void ReadSettings() override {
    ++settings_reads;
    hostName = "callserver1";
    knownUser = known_user;
  }
  LDAPSession* GetLDAPSession(bool /*dontload*/) override { return nullptr; }

  int settings_reads = 0;
  bool known_user = true;  // what ReadSettings finds
};

class VXMLTest : public webtest::SiteFixture {
 protected:
  void SetUp() override {
    SiteFixture::SetUp();
    setenv("SCRIPT_NAME", "/vxml.cgi", 1);
    ASSERT_NE(getcwd(saved_cwd_, sizeof saved_cwd_), nullptr);
    ASSERT_EQ(chdir(root.c_str()), 0);
  }
  void TearDown() override {
    context.reset();
    ASSERT_EQ(chdir(saved_cwd_), 0);
    SiteFixture::TearDown();
  }

  // Builds the context for the query `query`.
  TestPortalContext& Request(const char* query) {
    setenv("QUERY_STRING", query, 1);
    context = std::make_unique<TestPortalContext>();
    return *context;
  }

  // Answers the query; returns what went through the page sink and, in
  // `stdout_bytes`, what was written straight to standard output.
  std::string Display(const char* query, std::string* stdout_bytes = nullptr) {
    Request(query);
    UStringWebRender out;
    std::string direct = CaptureStdout([&] { DisplayPage(*context, &out); });
    if (stdout_bytes != nullptr) *stdout_bytes = direct;
    return static_cast<char*>(out.output);
  }

  // The text DisplayPage throws for the query.
  std::string Thrown(const char* query) {
    Request(query);
    UStringWebRender out;
    std::string thrown = "(nothing thrown)";
    std::string direct = CaptureStdout([&] {
      try {
        DisplayPage(*context, &out);
      } catch (const char* error) {
        thrown = error;
      }
    });
    EXPECT_EQ(direct, "");
    EXPECT_STREQ(out.output, "");
    return thrown;
  }

  // Runs `body` with standard output sent to a file; returns the bytes.
  template <typename Body>
  std::string CaptureStdout(Body body) {
    std::string path = root + "/stdout";
    fflush(stdout);
    int saved = dup(STDOUT_FILENO);
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(fd, STDOUT_FILENO);
    close(fd);
    body();
    fflush(stdout);
    dup2(saved, STDOUT_FILENO);
    close(saved);
    return ReadFile(path);
  }

  // Creates the archive file `name` with `size` bytes of every value.
  std::string MakeRecording(const std::string& name, size_t size) {
    std::string dir = Site(kArchive) + "2005";
    EXPECT_EQ(system(("mkdir -p '" + dir + "'").c_str()), 0);
    std::string content;
    for (size_t i = 0; i < size; ++i) content += static_cast<char>(i * 7 % 256);
    WriteFile(Site(kArchive) + name, content);
    return content;
  }

  // The children of `item` as rendered on a context of an empty request.
  std::string Children(XMLItem& item) {
    if (!context) Request("");
    UStringWebRender out;
    RenderItems(item.contains, *context, &out);
    return static_cast<char*>(out.output);
  }

  // Sends the recording "2005/big.wav" through a pipe as
  // standard output; once `midway` bytes have been read, calls `change` (which
  // may change the file). Returns all bytes read from the pipe.
  template <typename Change>
  std::string StreamThroughPipe(size_t midway, Change change) {
    int pipe_fds[2];
    EXPECT_EQ(pipe(pipe_fds), 0);
    std::string received;
    std::thread reader([&] {
      char buffer[4096];
      ssize_t n;
      bool changed = false;
      while ((n = read(pipe_fds[0], buffer, sizeof buffer)) > 0) {
        received.append(buffer, static_cast<size_t>(n));
        if (!changed && received.size() >= midway) {
          change();
          changed = true;
        }
      }
    });
    fflush(stdout);
    const int saved = dup(STDOUT_FILENO);
    dup2(pipe_fds[1], STDOUT_FILENO);
    close(pipe_fds[1]);
    Request("pagename=wav&index=2005/big.wav");
    UStringWebRender out;
    DisplayPage(*context, &out);
    fflush(stdout);
    dup2(saved, STDOUT_FILENO);
    close(saved);
    reader.join();
    close(pipe_fds[0]);
    return received;
  }

  std::unique_ptr<TestPortalContext> context;
  char saved_cwd_[4096];
};

// --- Dispatch ---------------------------------------------------------------

TEST_F(VXMLTest, PreparesTheContextBeforeDispatching) {
  Request("pagename=nothing");
  context->client_redirect = "elsewhere";
  context->internal_redirect = "vxml.cgi?pagename=dialout";
  UStringWebRender out;
  DisplayPage(*context, &out);
  EXPECT_EQ(context->settings_reads, 1);
  EXPECT_TRUE(context->authenticated);
  EXPECT_STREQ(context->client_redirect, "");
  EXPECT_STREQ(context->internal_redirect, "");
  EXPECT_EQ((*context)["pagename"].type, WebArgument::Global);
}

TEST_F(VXMLTest, UnknownOrMissingPageNamesWriteNothing) {
  for (const char* query :
       {"", "pagename=", "pagename=Login", "pagename=DIALOUT",
        "pagename=callback2", "pagename=wav", "pagename=wav&index="}) {
    std::string direct;
    EXPECT_EQ(Display(query, &direct), "") << query;
    EXPECT_EQ(direct, "") << query;
    EXPECT_EQ((*context)["pagename"].type, WebArgument::Global) << query;
  }
}

// --- VoiceXML pages ---------------------------------------------------------

TEST_F(VXMLTest, DialoutMenu) {
  std::string direct;
  EXPECT_EQ(
      Display("pagename=dialout&cmd=submit&s=1&t=2&o=3", &direct),
      std::string(kVoiceHeader) +
          "<menu id=\"menu\">\n"
          "<property name=\"inputmodes\" value=\"dtmf\"/>\n"
          "<prompt>hello</prompt>\n"
          "<prompt>Press 1 to be called back on the number you are calling "
          "from.</prompt>\n"
          "<prompt>Press 2 to enter the number to call back.</prompt>\n"
          "<choice dtmf=\"1\" next=\"vxml.cgi?pagename=dialout&amp;cmd=submit"
          "&amp;s=2002&amp;t=2001&amp;o=2002\"/>\n"
          "<choice dtmf=\"2\" next=\"vxml.cgi?pagename=dialout&amp;cmd=getnum"
          "&amp;s=2002&amp;t=2001&amp;o=2002\"/>\n"
          "</menu>\n"
          "<form id=\"mydisconnect\">\n"
          "<block>\n"
          "<disconnect/>\n"
          "</block>\n"
          "</form>\n"
          "</vxml>\n");
  EXPECT_EQ(direct, "");
}

// The call-back page for the transfer attribute text `dest` and greeting
// line `greeting`.
std::string CallbackPage(const std::string& greeting, const std::string& dest) {
  return std::string(kVoiceHeader) + "<form id=\"callback\">\n<block>\n" +
         greeting + "</block>\n<transfer name=\"call\" dest=\"" + dest +
         "\"/>\n</form>\n</vxml>\n";
}

TEST_F(VXMLTest, CallbackPromptsWithoutGreetingFile) {
  EXPECT_EQ(Display("pagename=callback&dest=2001"),
            CallbackPage("<prompt>Dialling </prompt>\n", "2001"));
  // Without "dest" the transfer goes to an empty number.
  EXPECT_EQ(Display("pagename=callback"),
            CallbackPage("<prompt>Dialling </prompt>\n", ""));
}

TEST_F(VXMLTest, CallbackPlaysGreetingFileOfTheWorkingDirectory) {
  WriteFile(root + "/dialling.wav", "RIFF");
  EXPECT_EQ(Display("pagename=callback&dest=2001"),
            CallbackPage("<audio src=\"dialling.wav\"/>\n", "2001"));
}

TEST_F(VXMLTest, CallbackDestinationCannotLeaveItsAttribute) {
  const std::string prompt = "<prompt>Dialling </prompt>\n";
  EXPECT_EQ(Display("pagename=callback&dest=1%262%3C3%3E"),
            CallbackPage(prompt, "1&amp;2&lt;3&gt;"));
  // A double quote is percent-encoded, so the value cannot end early and
  // add attributes.
  EXPECT_EQ(Display("pagename=callback&dest=1%22+next%3D%22x"),
            CallbackPage(prompt, "1%22 next=%22x"));
}

// A web user without settings at the portal gets the login page for each
// page name, and still nothing for an unknown one.
TEST_F(VXMLTest, LoginPage) {
  for (std::string page_name : {"login", "dialout", "callback", "wav"}) {
    const std::string query = "pagename=" + page_name;
    Request(query.c_str());
    context->known_user = page_name == "login";
    UStringWebRender out;
    std::string direct = CaptureStdout([&] { DisplayPage(*context, &out); });
    EXPECT_EQ(direct, "") << page_name;
    EXPECT_FALSE(context->authenticated && page_name != "login");
    // An HTML page recorded in the history (here in cookies, as the context
    // has no session).
    EXPECT_EQ(
        std::string(static_cast<char*>(out.output)),
        "Set-Cookie: _page0=/vxml.cgi?pagename=" + page_name + "; \n"
            "Set-Cookie: _page1=; \n"
            "Set-Cookie: _page2=; \n"
            "Set-Cookie: _page3=; \n"
            "Set-Cookie: _page4=; \n"
            "Cache-Control: no-cache, no-store, max-age=1, must-revalidate\n"
            "Content-type: text/html;charset=utf-8\n"
            "\n"
            "<html>\n<head>\n<title></title>\n</head>\n<body >\n"
            "AUTHORISATION FAILURE PLEASE LOGIN CORRECLY</body>\n</html>\n");
  }
  Request("pagename=other");
  context->known_user = false;
  UStringWebRender out;
  DisplayPage(*context, &out);
  EXPECT_STREQ(out.output, "");
}

// --- Recordings -------------------------------------------------------------

TEST_F(VXMLTest, StreamsRecordingWithItsLength) {
  // More than one copy chunk, with every byte value.
  std::string content = MakeRecording("2005/msg2.wav", 20044);
  std::string direct;
  EXPECT_EQ(Display("pagename=wav&index=2005/msg2.wav", &direct), "");
  EXPECT_EQ(direct,
            "Content-Type: audio/wav\nContent-Length: 20044\n\n" + content);
}

TEST_F(VXMLTest, StreamsEmptyRecording) {
  MakeRecording("2005/empty.wav", 0);
  std::string direct;
  Display("pagename=wav&index=2005/empty.wav", &direct);
  EXPECT_EQ(direct, "Content-Type: audio/wav\nContent-Length: 0\n\n");
}

TEST_F(VXMLTest, MissingRecordingThrowsItsPath) {
  MakeRecording("2005/msg1.wav", 10);
  const std::string archive = Site(kArchive);
  EXPECT_EQ(Thrown("pagename=wav&index=2005/nothing.wav"),
            "Unable to open wav file: " + archive + "2005/nothing.wav");
  // A directory opens but has no bytes: refused before any header.
  EXPECT_EQ(Thrown("pagename=wav&index=2005"),
            "Unable to open wav file: " + archive + "2005");
  EXPECT_EQ(Thrown("pagename=wav&index=2005/"),
            "Unable to open wav file: " + archive + "2005/");
  // The text goes into an HTML page: the request's markup is escaped.
  EXPECT_EQ(Thrown("pagename=wav&index=%3Cb%3E%26"),
            "Unable to open wav file: " + archive + "&lt;b&gt;&amp;");
}

TEST_F(VXMLTest, RecordingsOutsideTheArchiveAreRefused) {
  WriteFile(Site("/Korvelund/config/Lumera.cfg"), "password=secret\n");
  MakeRecording("2005/msg1.wav", 10);
  const std::string archive = Site(kArchive);
  for (const char* index :
       {"../../../../../Korvelund/config/Lumera.cfg",
        "2005/../../../../../../Korvelund/config/Lumera.cfg", "..", "2005/..",
        "2005/../2005/msg1.wav"}) {
    EXPECT_EQ(Thrown((std::string("pagename=wav&index=") + index).c_str()),
              "Unable to open wav file: " + archive + index);
  }
  const std::string config = Site("/Korvelund/config/Lumera.cfg");
  EXPECT_EQ(Thrown(("pagename=wav&index=" + config).c_str()),
            "Unable to open wav file: " + archive + config);
  // Names that merely contain dots are ordinary names.
  MakeRecording("2005/..msg..wav", 3);
  std::string direct;
  Display("pagename=wav&index=2005/..msg..wav", &direct);
  EXPECT_EQ(direct.substr(0, 24), "Content-Type: audio/wav\n");
}

TEST_F(VXMLTest, LinksAndSpecialFilesInTheArchiveAreRefused) {
  WriteFile(Site("/Korvelund/config/Lumera.cfg"), "password=secret\n");
  const std::string content = MakeRecording("2005/msg1.wav", 10);
  const std::string archive = Site(kArchive);
  ASSERT_EQ(mkfifo((archive + "2005/fifo.wav").c_str(), 0600), 0);
  ASSERT_EQ(symlink("/proc/self/environ", (archive + "environ.wav").c_str()),
            0);
  ASSERT_EQ(symlink("msg1.wav", (archive + "2005/inside.wav").c_str()), 0);
  ASSERT_EQ(
      symlink(Site("/Korvelund/config").c_str(), (archive + "config").c_str()),
      0);
  ASSERT_EQ(symlink("2005", (archive + "latest").c_str()), 0);
  // A FIFO fails at once instead of blocking; a link as the file is refused
  // wherever it points; a linked directory may not lead out of the archive.
  for (const char* index : {"2005/fifo.wav", "environ.wav", "2005/inside.wav",
                            "config/Lumera.cfg"}) {
    EXPECT_EQ(Thrown((std::string("pagename=wav&index=") + index).c_str()),
              "Unable to open wav file: " + archive + index);
  }
  // A linked directory that stays inside the archive is followed.
  std::string direct;
  Display("pagename=wav&index=latest/msg1.wav", &direct);
  EXPECT_EQ(direct,
            "Content-Type: audio/wav\nContent-Length: 10\n\n" + content);
}

TEST_F(VXMLTest, RecordingLengthIsTheOpenedFilesSizeWhateverHappensLater) {
  const size_t size = 2 * 1024 * 1024 + 123;
  const std::string header =
      "Content-Type: audio/wav\nContent-Length: " + std::to_string(size) +
      "\n\n";
  const std::string path = Site(kArchive) + "2005/big.wav";

  // A file that grows while it is sent: exactly the announced bytes go out.
  std::string content = MakeRecording("2005/big.wav", size);
  std::string got = StreamThroughPipe(100000, [&] {
    std::ofstream(path, std::ios::app | std::ios::binary)
        << std::string(1024 * 1024, 'G');
  });
  EXPECT_EQ(got.size(), header.size() + size);
  EXPECT_TRUE(got == header + content) << "the grown file's bytes were sent";

  // A file that shrinks: the answer is cut, never padded or overlong.
  content = MakeRecording("2005/big.wav", size);
  got = StreamThroughPipe(100000,
                          [&] { ASSERT_EQ(truncate(path.c_str(), 1000), 0); });
  EXPECT_LT(got.size(), header.size() + size);
  // (Bytes already in the pipe may show the truncation: they can share the
  // file's cached pages.)
  EXPECT_EQ(got.substr(0, header.size()), header);
}

TEST_F(VXMLTest, LongRecordingErrorIsCutWithinItsBuffer) {
  const std::string prefix = "Unable to open wav file: " + Site(kArchive);
  // Characters of one to four bytes, shifted by up to three bytes so that
  // the 511-byte limit falls on every position inside a character: a
  // character the limit splits is left out whole.
  for (const std::string character :
       {"x", "\xC3\xA9", "\xE2\x82\xAC", "\xF0\x9F\x98\x80"}) {
    for (size_t shift = 0; shift < character.size(); ++shift) {
      std::string index(shift, 'y');
      std::string encoded = index;
      while (index.size() < 600) {
        index += character;
        for (unsigned char c : character) {
          char hex[4];
          snprintf(hex, sizeof hex, "%%%02X", c);
          encoded += hex;
        }
      }
      std::string expected = prefix + std::string(shift, 'y');
      while (expected.size() + character.size() <= 511) expected += character;
      EXPECT_EQ(Thrown(("pagename=wav&index=" + encoded).c_str()), expected)
          << character.size() << "-byte characters shifted by " << shift;
    }
  }
}

// --- Spoken prompts ---------------------------------------------------------

TEST_F(VXMLTest, SpeakNameSaysNameOrNumberDigitByDigit) {
  XMLItem named("block", nullptr, nullptr);
  char name[] = "Alice 100% <Archer>";
  char num[] = "2001";
  SpeakName(&named, name, num);
  EXPECT_EQ(Children(named), "<prompt>Alice 100% &lt;Archer&gt;</prompt>\n");

  XMLItem numbered("block", nullptr, nullptr);
  char empty[] = "";
  char odd[] = "2%1";
  SpeakName(&numbered, empty, odd);
  EXPECT_EQ(Children(numbered),
            "<prompt>Number </prompt>\n<prompt>2</prompt>\n<prompt>%</prompt>\n"
            "<prompt>1</prompt>\n");

  XMLItem nothing("block", nullptr, nullptr);
  SpeakName(&nothing, nullptr, nullptr);
  EXPECT_EQ(Children(nothing), "<prompt>Number </prompt>\n");
}

TEST_F(VXMLTest, SpeakTimeSaysHourAndMinutes) {
  struct {
    const char* t;
    const char* prompts;
  } cases[] = {
      {"1430", "<prompt>14</prompt>\n<prompt>30</prompt>\n"},
      {"900", "<prompt>09</prompt>\n<prompt> hundred hours</prompt>\n"},
      {"905", "<prompt>09</prompt>\n<prompt>05</prompt>\n"},
      {"45", "<prompt>00</prompt>\n<prompt>45</prompt>\n"},
      {"5", "<prompt>00</prompt>\n<prompt>05</prompt>\n"},
      {"", "<prompt>00</prompt>\n<prompt> hundred hours</prompt>\n"},
      {"123456", "<prompt>12</prompt>\n<prompt>56</prompt>\n"},
  };
  for (const auto& c : cases) {
    XMLItem block("block", nullptr, nullptr);
    std::string t = c.t;
    SpeakTime(&block, &t[0]);
    EXPECT_EQ(Children(block), c.prompts) << c.t;
  }
  XMLItem block("block", nullptr, nullptr);
  SpeakTime(&block, nullptr);
  EXPECT_EQ(Children(block),
            "<prompt>00</prompt>\n<prompt> hundred hours</prompt>\n");
}

}  // namespace
