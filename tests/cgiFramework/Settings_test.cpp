// The settings file: its pairs with their line numbers (comments, blank
// lines, lines that run on, texts after "&"), and the key table against
// the README's settings table and the shipped example file.
#include "cgiFramework/Settings.h"

#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

// "line-last name=value" of every pair, with "+" when it opens its line and
// "!" when it ran on.
std::vector<std::string> Pairs(const std::string& text) {
  std::vector<std::string> result;
  for (const SettingsEntry& e : ParseSettings(text.data(), text.size()).entries) {
    result.push_back(std::to_string(e.line) + "-" + std::to_string(e.last_line) +
                     (e.starts_line ? "+" : "") + (e.RanOn() ? "!" : "") + " " +
                     e.name + "=" + e.value);
  }
  return result;
}

std::string ReadSource(const std::string& path) {
  std::ifstream in(std::string(VXML_SOURCE_DIR) + "/" + path);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::set<std::string> TableKeys() {
  std::set<std::string> keys;
  for (const SettingKey& key : kSettingKeys) keys.insert(key.name);
  return keys;
}

TEST(SettingsTest, PairsAndTheirLines) {
  const std::pair<std::string, std::vector<std::string>> cases[] = {
      {"# a=b\n\n  \r\nuser=u\r\n#x\ndb=d",
       {"4-4+ user=u", "6-6+ db=d"}},
      {"password=pw&TAIL\ndb=d\n", {"1-1+ password=pw", "1-2! TAIL\ndb=d"}},
      {"ldappassword=a&T2=x\n", {"1-1+ ldappassword=a", "1-1 T2=x"}},
      {"password s3\n# c\n\ndb=d\n", {"1-4+! password s3\ndb=d"}},
      {"  # indented\nuser=u\n", {"1-2+!   # indented\nuser=u"}},
      {"a=1\nlast", {"1-1+ a=1", "2-2+! last="}},
      {"a=%26&b=\"x&y\"\n", {"1-1+ a=&", "1-1 b=\"x&y\""}},
  };
  for (const auto& [text, expected] : cases) {
    EXPECT_EQ(Pairs(text), expected) << text;
  }

  const std::string marked("\xEF\xBB\xBF" "a=1\nb=2\0c=3\n", 15);
  SettingsText settings = ParseSettings(marked.data(), marked.size());
  EXPECT_TRUE(settings.byte_order_mark);
  EXPECT_EQ(settings.nul_line, 2);
  ASSERT_EQ(settings.entries.size(), 2u);
  EXPECT_EQ(settings.entries[1].value, "2");
}

// Every key the program reads is in the README's settings table and the
// README names no key the program does not read.
TEST(SettingsTest, KeyTableMatchesTheReadme) {
  std::istringstream readme(ReadSource("README.md"));
  const std::regex row("^\\| `([^`]+)` \\|.*");
  std::set<std::string> documented;
  bool in_section = false;
  for (std::string line; std::getline(readme, line);) {
    if (line.rfind("### ", 0) == 0) {
      in_section = line.find("The settings file") != std::string::npos;
    }
    std::smatch match;
    if (in_section && std::regex_match(line, match, row)) {
      documented.insert(match[1]);
    }
  }
  EXPECT_EQ(documented, TableKeys());
  for (const SettingKey& key : kSettingKeys) {
    EXPECT_EQ(FindSettingKey(key.name), &key);
    EXPECT_EQ(&KeyOf(key.id), &key);
  }
  EXPECT_EQ(FindSettingKey("ldapbse"), nullptr);
}

// The example file as shipped, comments kept, sets every key once, each on
// a line of its own.
TEST(SettingsTest, ShippedExampleSetsEveryKey) {
  const std::string text = ReadSource("packaging/Lumera.cfg.example");
  ASSERT_FALSE(text.empty());
  SettingsText settings = ParseSettings(text.data(), text.size());
  std::multiset<std::string> names;
  for (const SettingsEntry& entry : settings.entries) {
    EXPECT_FALSE(entry.RanOn()) << entry.line;
    EXPECT_TRUE(entry.starts_line) << entry.line;
    names.insert(entry.name);
  }
  EXPECT_EQ(std::set<std::string>(names.begin(), names.end()), TableKeys());
  EXPECT_EQ(names.size(), kSettingKeyCount);
}

}  // namespace
