// What the settings readers of every system share: the text in memory, line by line.
#include "platform/ini_file.h"

namespace tavorin {

namespace {
// The bytes looked at to tell whether a file is text.
constexpr size_t kHead = 4096;
}  // namespace

IniFile::IniFile(std::string path) {
  std::string text;
  problem_ = ReadIniFileBytes(path, text);
  if (!problem_)
    TakeText(text);
}

bool IniFile::empty() const {
  for (const std::string& line : lines_) {
    if (line.find_first_not_of(" \t\r\n") != std::string::npos)
      return false;
  }
  return true;
}

IniFile IniFile::FromText(std::string_view text) {
  IniFile file;
  file.TakeText(text);
  return file;
}

void IniFile::TakeText(std::string_view text) {
  doubt_ = IniTextDoubt(text.substr(0, kHead));
  IniLines lines(kLongestIniLine);
  IniLineCheck check;
  auto take = [&](std::string_view line, bool ended) {
    lines_.emplace_back(line);
    check.Feed(line, lines.cut(), ended);
    return false;
  };
  lines.Feed(text, [&](std::string_view line) { return take(line, true); });
  lines.Finish([&](std::string_view line) { return take(line, false); });
  unusable_lines_ = check.unusable();
}

std::string IniFile::Value(const char* section, const char* key, const char* fallback,
                           size_t size) const {
  IniLookup lookup(section, key);
  for (const std::string& line : lines_) {
    if (lookup.Feed(line))
      break;
  }
  return IniResult(lookup.value(), fallback, size);
}

std::vector<std::string> IniFile::Keys(const char* section) const {
  IniKeyList list(section);
  for (const std::string& line : lines_)
    list.Feed(line);
  return list.keys();
}

std::vector<std::string> IniFile::Sections() const {
  IniSectionList list;
  for (const std::string& line : lines_)
    list.Feed(line);
  return list.sections();
}

std::string IniFileTooLarge() {
  return "it is larger than the " + std::to_string(kLargestIniFile >> 20) + " MiB the reader takes";
}

}  // namespace tavorin
