#include "network/SecureSocket.h"

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "kernel/OSBuf.h"
#include "network/CaptureConsole.h"
#include "support/Bytes.h"

namespace {

const unsigned long kLoopback = 0x7F000001;

// The openssl command as a child process, with pipes to its standard input
// and from its standard output and error.
class OpenSSLCommand {
 public:
  explicit OpenSSLCommand(std::vector<std::string> args) {
    int in[2];
    int out[2];
    if (pipe(in) != 0 || pipe(out) != 0) return;
    args.insert(args.begin(), "openssl");
    pid_ = fork();
    if (pid_ == 0) {
      dup2(in[0], 0);
      dup2(out[1], 1);
      dup2(out[1], 2);
      for (int fd : {in[0], in[1], out[0], out[1]}) close(fd);
      std::vector<char*> argv;
      for (std::string& a : args) argv.push_back(&a[0]);
      argv.push_back(nullptr);
      execvp(argv[0], argv.data());
      _exit(127);
    }
    close(in[0]);
    close(out[1]);
    to_child_ = in[1];
    from_child_ = out[0];
  }
  ~OpenSSLCommand() {
    if (to_child_ >= 0) close(to_child_);
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
    close(from_child_);
  }
  void CloseInput() {
    close(to_child_);
    to_child_ = -1;
  }
  void Write(const std::string& text) {
    EXPECT_GT(write(to_child_, text.data(), text.size()), 0);
  }
  // Reads output until it holds `text`; false after 10 seconds or at its end.
  bool WaitFor(const std::string& text) {
    pollfd pfd{from_child_, POLLIN, 0};
    char chunk[4096];
    ssize_t n = 0;
    while (output_.find(text) == std::string::npos) {
      if (poll(&pfd, 1, 10000) != 1 ||
          (n = read(from_child_, chunk, sizeof(chunk))) <= 0) {
        return false;
      }
      output_.append(chunk, static_cast<size_t>(n));
    }
    return true;
  }

 private:
  pid_t pid_ = -1;
  int to_child_ = -1;
  int from_child_ = -1;
  std::string output_;
};

// Exchanges one line with a peer that answers it reversed.
std::string Exchange(SecureSocket* s, const std::string& line) {
  EXPECT_EQ(s->DataIndication(BufOf(line)), OSIO::Success);
  std::string answer(line.size(), '\0');
  EXPECT_EQ(s->RecWait(reinterpret_cast<UBYTE*>(&answer[0]),
                       static_cast<int>(line.size())),
            0);
  return answer;
}

class SecureSocketTest : public ::testing::Test {
 protected:
  // Throwaway keys (elliptic-curve ones, quick to make): a test CA,
  // certificates it signed for 127.0.0.1, for the name localhost and for
  // another name, and a self-signed certificate no CA vouches for.
  static void SetUpTestSuite() {
    char pattern[] = "/tmp/securesocket_test.XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    const std::string cd = "cd " + dir_ + " && ";
    const std::string req =
        cd +
        "openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 "
        "-nodes -days 2 ";
    ASSERT_TRUE(
        Shell(req + "-x509 -subj /CN=TestCA -keyout ca.key -out ca.pem"));
    ASSERT_TRUE(Shell(
        req +
        "-x509 -subj /CN=Stranger -keyout stranger.key -out stranger.pem"));
    const std::pair<const char*, const char*> names[] = {
        {"server", "IP:127.0.0.1"},
        {"named", "DNS:localhost"},
        {"other", "DNS:elsewhere.invalid"}};
    for (const auto& [name_text, san] : names) {
      const std::string name = name_text;
      std::ofstream(File(name + ".ext")) << "subjectAltName=" << san << "\n";
      ASSERT_TRUE(Shell(req + "-subj /CN=" + name + " -keyout " + name +
                        ".key -out " + name + ".csr"));
      ASSERT_TRUE(Shell(cd +
                        "openssl x509 -req -days 2 -CA ca.pem -CAkey ca.key "
                        "-CAcreateserial -in " +
                        name + ".csr -out " + name + ".pem -extfile " + name +
                        ".ext"));
    }
  }
  static void TearDownTestSuite() { Shell("rm -rf " + dir_); }
  static bool Shell(const std::string& command) {
    return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
  }
  static std::string File(const std::string& name) {
    return name.empty() ? "" : dir_ + "/" + name;
  }

  CaptureConsole console;
  static std::string dir_;
};

std::string SecureSocketTest::dir_;

TEST_F(SecureSocketTest, ClientVerifiesTheServerWhenGivenACA) {
  const struct {
    const char* server;
    const char* host;  // as the client names the server
    const char* ca;
    int result;
  } cases[] = {
      {"server", "127.0.0.1", "ca.pem", 0},
      {"named", "localhost", "ca.pem", 0},
      {"stranger", "127.0.0.1", "ca.pem", -4},  // signed by nobody trusted
      // Trusted, but issued for another name or address:
      {"other", "127.0.0.1", "ca.pem", -4},
      {"server", "localhost", "ca.pem", -4},
      {"named", "127.0.0.1", "ca.pem", -4},
      {"stranger", "127.0.0.1", "", 0},  // without a CA anything goes
  };
  for (const auto& c : cases) {
    console.Clear();
    const std::string name = c.server;
    SCOPED_TRACE(name + " as " + c.host);
    Socket probe(Socket::TCP_SERVER, 0, false, kLoopback);  // finds a free port
    const unsigned short port = probe.LocalPort();
    probe.Close();
    OpenSSLCommand server({"s_server", "-accept",
                           "127.0.0.1:" + std::to_string(port), "-cert",
                           File(name + ".pem"), "-key", File(name + ".key"),
                           "-rev", "-naccept", "1"});
    ASSERT_TRUE(server.WaitFor("ACCEPT"));
    SecureSocket client(Socket::TCP_CLIENT, c.host, port);
    ASSERT_EQ(client.state, Socket::CONNECTED);
    client.SetKeys(nullptr, nullptr, File(c.ca).c_str());
    EXPECT_EQ(client.StartSSL(false), c.result);
    EXPECT_TRUE(
        console.HasPrefix("TLSSetup: setting cipher list to RSA+AESGCM:"));
    if (c.result != 0) {
      EXPECT_TRUE(
          console.HasPrefix("SecureSocket::StartSSL: peer not verified: "));
      EXPECT_EQ(client.DataIndication(BufOf("x")), OSIO::NoConnection);
      continue;
    }
    EXPECT_EQ(Exchange(&client, "hello\n"), "olleh\n");
    EXPECT_EQ(client.DataIndication(BufOf("abc\n")), OSIO::Success);
    OSBuf* buf = client.RecWait(5000);
    ASSERT_NE(buf, nullptr);
    EXPECT_EQ(Text(buf), "cba\n");
    buf->Free();
  }
}

TEST_F(SecureSocketTest, ServerDemandsClientCertificatesWhenGivenACA) {
  const struct {
    const char* ca;
    bool client_certificate;
    int result;
  } cases[] = {{"", false, 0}, {"ca.pem", false, -4}, {"ca.pem", true, 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.ca) +
                 (c.client_certificate ? " with" : " without"));
    SecureSocket listener(Socket::TCP_SERVER, 0, true, kLoopback);
    listener.SetKeys(File("server.pem").c_str(), File("server.key").c_str(),
                     File(c.ca).c_str());
    std::vector<std::string> args = {
        "s_client", "-quiet", "-no_ign_eof", "-connect",
        "127.0.0.1:" + std::to_string(listener.LocalPort())};
    if (c.client_certificate) {
      args.insert(args.end(),
                  {"-cert", File("server.pem"), "-key", File("server.key")});
    }
    OpenSSLCommand client(args);
    std::unique_ptr<Socket> accepted(listener.Accept());
    ASSERT_NE(accepted, nullptr);
    ASSERT_TRUE(accepted->Secure());
    SecureSocket* secure = static_cast<SecureSocket*>(accepted.get());
    ASSERT_EQ(secure->StartSSL(true), c.result);
    if (c.result != 0) continue;
    client.Write("ping\n");
    UBYTE got[5];
    ASSERT_EQ(secure->RecWait(got, 5), 0);
    EXPECT_EQ(Text(got, 5), "ping\n");
    EXPECT_EQ(secure->DataIndication(BufOf("pong\n")), OSIO::Success);
    EXPECT_TRUE(client.WaitFor("pong\n"));
    client.CloseInput();  // s_client then closes the connection
    EXPECT_EQ(secure->RecWait(got, 5), -1);
    EXPECT_EQ(secure->state, Socket::INVALID);
  }
}

TEST_F(SecureSocketTest, SetupFailuresAreReported) {
  SecureSocket unconnected(Socket::TCP_CLIENT, "", 1);
  EXPECT_EQ(unconnected.StartSSL(false), -1);
  EXPECT_EQ(unconnected.RecWait(5), nullptr);
  for (int i = 1; i <= 4; ++i)
    EXPECT_EQ(unconnected.SetKeys("a", "b", "c"), i < 4 ? i : 3);
  EXPECT_TRUE(
      console.Has("SecureSocket::SetKeys: no room for more than 3 key sets"));

  const struct {
    const char* cert;
    const char* key;
    const char* ca;
    int result;
    const char* report;
  } cases[] = {
      {"missing.pem", "server.key", "", -2,
       "SecureSocket: cannot load certificate "},
      {"server.pem", "stranger.key", "", -2,
       "SecureSocket: cannot load private key "},
      {"server.pem", "server.key", "missing.pem", -3,
       "SecureSocket: cannot load CA file "},
  };
  for (const auto& c : cases) {
    SecureSocket server(Socket::TCP_SERVER, 0, true, kLoopback);
    server.SetKeys(File(c.cert).c_str(), File(c.key).c_str(),
                   File(c.ca).c_str());
    SecureSocket client(Socket::TCP_CLIENT, "127.0.0.1", server.LocalPort());
    std::unique_ptr<Socket> accepted(server.Accept());
    EXPECT_EQ(static_cast<SecureSocket*>(accepted.get())->StartSSL(true),
              c.result)
        << c.cert;
    EXPECT_TRUE(console.HasPrefix(c.report)) << c.cert;
  }
}

}  // namespace
