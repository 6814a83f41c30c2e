// What the settings readers of every system share: the text in memory, line by line.
#include "platform/ini_file.h"

#include "platform/ini_lookup.h"

namespace tavorin {

namespace {
// The bytes looked at to tell whether a file is text.
constexpr size_t kHead = 4096;
}  // namespace

IniFile IniFile::FromText(std::string_view text) {
  IniFile file;
  file.TakeText(text);
  return file;
}

void IniFile::TakeText(std::string_view text) {
  doubt_ = IniTextDoubt(text.substr(0, kHead));
  IniLines lines(kLongestIniLine);
  auto take = [this](std::string_view line) {
    lines_.emplace_back(line);
    return false;
  };
  lines.Feed(text, take);
  lines.Finish(take);
}

std::string IniFile::ValueInText(const char* section, const char* key, const char* fallback,
                                 size_t size) const {
  IniLookup lookup(section, key);
  for (const std::string& line : lines_) {
    if (lookup.Feed(line))
      break;
  }
  return IniResult(lookup.value(), fallback, size);
}

std::vector<std::string> IniFile::KeysInText(const char* section) const {
  IniKeyList list(section);
  for (const std::string& line : lines_)
    list.Feed(line);
  return list.keys();
}

std::vector<std::string> IniFile::SectionsInText() const {
  IniSectionList list;
  for (const std::string& line : lines_)
    list.Feed(line);
  return list.sections();
}

}  // namespace tavorin
