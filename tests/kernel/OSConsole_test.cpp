#include "kernel/OSConsole.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <regex>
#include <string>

namespace {

// The time stamp that opens every console line.
const std::string kStamp = "[0-2][0-9]:[0-5][0-9]:[0-6][0-9]\\.[0-9]{3} ";

// Everything written to `f` so far.
std::string Contents(FILE* f) {
  fflush(f);
  std::string text;
  rewind(f);
  for (int c; (c = fgetc(f)) != EOF;) text += static_cast<char>(c);
  return text;
}

TEST(PCConsole, WarningWritesThreeStampedLines) {
  FILE* out = tmpfile();
  PCConsole console(nullptr);
  console.SetOutput(out);
  console.Warning("x");
  std::string text = Contents(out);
  EXPECT_TRUE(
      std::regex_match(text, std::regex(kStamp + "WARNING:\r\n\r\n" + kStamp +
                                        "x\r\n" + kStamp + "\r\n\r\n")))
      << text;
  fclose(out);
}

TEST(PCConsole, OverlongLineIsCutInsideItsBuffer) {
  FILE* out = tmpfile();
  PCConsole console(nullptr);
  console.SetOutput(out);
  console.Print("%s", std::string(3000, 'a').c_str());
  std::string text = Contents(out);
  EXPECT_EQ(text.size(), 1023u);  // the 1024-byte buffer less its terminator
  EXPECT_EQ(text.find_first_not_of('a', 13), 1021u);
  EXPECT_EQ(text.substr(1021), "\r\n");
  fclose(out);
}

TEST(PCConsole, LogFileIsTruncatedAndGetsEveryLine) {
  char path[] = "/tmp/pcconsole_log_XXXXXX";
  int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(write(fd, "stale\n", 6), 6);
  close(fd);
  FILE* out = tmpfile();
  {
    PCConsole console(path);
    console.SetOutput(out);
    console.Print("one %d", 1);
    console.Print("two");
  }
  const std::string lines = kStamp + "one 1\r\n" + kStamp + "two\r\n";
  EXPECT_TRUE(std::regex_match(Contents(out), std::regex(lines)));
  FILE* log = fopen(path, "r");
  ASSERT_NE(log, nullptr);
  std::string logged = Contents(log);
  EXPECT_TRUE(std::regex_match(logged, std::regex(lines))) << logged;
  fclose(log);
  fclose(out);
  unlink(path);

  // A log file that cannot be opened leaves the output stream alone.
  out = tmpfile();
  PCConsole unlogged("/nonexistent-dir/console.log");
  unlogged.SetOutput(out);
  unlogged.Print("still here");
  EXPECT_TRUE(
      std::regex_match(Contents(out), std::regex(kStamp + "still here\r\n")));
  fclose(out);
}

TEST(ConsoleDeathTest, FatalNeverReturns) {
  EXPECT_DEATH(
      {
        PCConsole console(nullptr);
        console.SetOutput(stderr);
        console.Fatal("disk %s is %d%% full", "sda", 99);
      },
      "disk sda is 99% full\n");
  EXPECT_DEATH(os_fatal("no console %d", 1), "no console 1\n");
}

// A console with scripted input that records everything it echoes.
class ScriptedConsole : public OSConsole {
 public:
  explicit ScriptedConsole(std::string input) : input_(std::move(input)) {}
  int Getc() override {
    ++reads;
    if (next_ >= input_.size()) return -1;
    return static_cast<unsigned char>(input_[next_++]);
  }
  void vPrint(const char* fmt, va_list args) override {
    char text[64];
    echo.append(text, static_cast<size_t>(vsnprintf(text, 64, fmt, args)));
  }

  std::string echo;
  int reads = 0;

 private:
  std::string input_;
  size_t next_ = 0;
};

// A console whose every print goes straight to standard error.
class StderrConsole : public OSConsole {
 public:
  void vPrint(const char* fmt, va_list args) override {
    vfprintf(stderr, fmt, args);
  }
};

TEST(ConsoleDeathTest, BaseConsoleFramesWarningsNotificationsAndFatalErrors) {
  ScriptedConsole console("");
  console.Warning("w%d", 1);
  console.Notify("n%d", 2);
  EXPECT_EQ(console.echo, "WARNING:\r\nw1\r\nNOTIFICATION:\r\nn2\r\n");
  StderrConsole fatal;
  EXPECT_DEATH(fatal.Fatal("gone %d", 7), "FATAL:\r\ngone 7\r\n");
}

TEST(ConsoleGets, EditsTheLine) {
  // Backspace, three deletes (the last with nothing to erase), a control
  // character (bell) and 'A' with the eighth bit set.
  ScriptedConsole console(
      "ab\bc\x7f\x7f\x7f"
      "d\x01\xC1\rnext");
  char buf[16];
  EXPECT_EQ(console.Gets(buf, sizeof(buf), nullptr), 0);
  EXPECT_STREQ(buf, "dA");
  EXPECT_EQ(console.echo, "ab\b \bc\b \b\b \bd\aA\r\n");
}

TEST(ConsoleGets, FailsAtEndOfInputAndFullBuffer) {
  char buf[4];
  ScriptedConsole ended("ab");
  EXPECT_EQ(ended.Gets(buf, sizeof(buf), nullptr), -1);
  ScriptedConsole full("abcdef\r");
  EXPECT_EQ(full.Gets(buf, sizeof(buf), nullptr), -1);
  EXPECT_EQ(full.reads, 4);  // stops as soon as the buffer is full
  EXPECT_EQ(full.Gets(nullptr, 4, nullptr), -1);
  EXPECT_EQ(full.Gets(buf, 0, nullptr), -1);
  EXPECT_EQ(full.reads, 4);
}

TEST(ConsoleGets, CtrlRCyclesThroughHistory) {
  char first[] = "first";
  char second[] = "second\tignored";
  char* history[] = {first, second, nullptr};
  ScriptedConsole console("xy\x12\x12\x12\r");
  char buf[16];
  EXPECT_EQ(console.Gets(buf, sizeof(buf), history), 0);
  EXPECT_STREQ(buf, "first");
  EXPECT_EQ(console.echo,
            "xy\b \b\b \bfirst"
            "\b \b\b \b\b \b\b \b\b \bsecond"
            "\b \b\b \b\b \b\b \b\b \b\b \bfirst\r\n");

  ScriptedConsole overflow("\x12\r");  // a recalled line that fills buf
  EXPECT_EQ(overflow.Gets(buf, 4, history), -1);
  EXPECT_EQ(overflow.echo, "firs");
}

}  // namespace
