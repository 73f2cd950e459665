#include "cgiFramework/Settings.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "cgiFramework/WebArgument.h"
#include "kernel/OSFile.h"

const SettingKey kSettingKeys[kSettingKeyCount] = {
#define VXML_SETTING_ROW(id, name, secret, required, meaning, when_unset) \
  {Setting::id, name, secret, required, meaning, when_unset},
    VXML_SETTINGS_KEYS(VXML_SETTING_ROW)
#undef VXML_SETTING_ROW
};

namespace {

const char kByteOrderMark[] = "\xEF\xBB\xBF";

// True when the line [begin, end) is a comment or holds only blanks.
bool IsSkipped(const char* begin, const char* end) {
  if (begin < end && *begin == '#') return true;
  for (const char* p = begin; p < end; ++p) {
    if (*p != ' ' && *p != '\t' && *p != '\r') return false;
  }
  return true;
}

// The lines that remain once comments and empty lines are dropped, with the
// number each had in the file.
class KeptLines {
 public:
  void Add(const char* begin, const char* end, bool line_end, int number) {
    starts_.emplace_back(text_.size(), number);
    text_.append(begin, end);
    if (line_end) text_ += '\n';
  }
  const char* text() const { return text_.c_str(); }
  // The file's line number of the character at `at` in text().
  int LineAt(const char* at) const {
    const size_t offset = static_cast<size_t>(at - text_.c_str());
    auto after = std::upper_bound(
        starts_.begin(), starts_.end(), offset,
        [](size_t o, const std::pair<size_t, int>& s) { return o < s.first; });
    return after == starts_.begin() ? 0 : std::prev(after)->second;
  }

 private:
  std::string text_;
  std::vector<std::pair<size_t, int>> starts_;  // offset in text_, line
};

}  // namespace

const SettingKey& KeyOf(Setting id) {
  return kSettingKeys[static_cast<size_t>(id)];
}

const SettingKey* FindSettingKey(const char* name) {
  for (const SettingKey& key : kSettingKeys) {
    if (strcmp(key.name, name) == 0) return &key;
  }
  return nullptr;
}

SettingsText ParseSettings(const char* text, size_t length) {
  SettingsText settings;
  const char* end = text + length;
  if (length >= 3 && memcmp(text, kByteOrderMark, 3) == 0) {
    settings.byte_order_mark = true;
    text += 3;
  }
  KeptLines kept;
  int number = 1;
  for (const char* p = text; p < end; ++number) {
    const char* newline = static_cast<const char*>(memchr(p, '\n', end - p));
    const char* line_end = newline != nullptr ? newline : end;
    const char* nul = static_cast<const char*>(memchr(p, '\0', line_end - p));
    if (nul != nullptr) {
      settings.nul_line = number;
      line_end = nul;
    }
    if (!IsSkipped(p, line_end)) {
      kept.Add(p, line_end, newline != nullptr && nul == nullptr, number);
    }
    if (nul != nullptr || newline == nullptr) break;
    p = newline + 1;
  }

  const char* p = kept.text();
  while (*p != '\0') {
    SettingsEntry entry;
    const char* start = p;
    const char* pair_end =
        ReadArgumentPair(p, true, entry.name, entry.value, &entry.has_equals);
    entry.line = kept.LineAt(start);
    entry.last_line = kept.LineAt(pair_end > start ? pair_end - 1 : start);
    entry.starts_line = start == kept.text() || start[-1] == '\n';
    settings.entries.push_back(std::move(entry));
    p = SkipArgumentSeparators(pair_end);
  }
  return settings;
}

bool ReadSettingsFile(const char* path, SettingsText* settings) {
  struct stat st;
  int fd = OpenRegularFile(path, O_RDONLY, OSLinks::kFollow, &st);
  if (fd < 0) return false;
  std::string text(static_cast<size_t>(st.st_size), '\0');
  size_t got = 0;
  while (got < text.size()) {
    ssize_t n = read(fd, &text[got], text.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  close(fd);
  *settings = ParseSettings(text.data(), got);
  return true;
}
