// The initialization-file reader: one value from a settings file.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/ini_lookup.h"

namespace tavorin {

// The largest settings file read; a larger one is not read at all.
inline constexpr size_t kLargestIniFile = 64 * 1024 * 1024;

// The settings file, read whole once at construction (on every system alike), so that a file
// changing meanwhile is read as it was at one moment; every lookup is then in memory. A file
// that is there but cannot be read gives every key its fallback, and `problem` says why; a
// file that is not text the reader can take is read all the same, and `doubt` says what it is.
class IniFile {
 public:
  explicit IniFile(std::string path);
  // The text of a settings file, read as a file's would be but in memory.
  static IniFile FromText(std::string_view text);

  const std::optional<std::string>& problem() const { return problem_; }
  const std::optional<std::string>& doubt() const { return doubt_; }
  // Whether the file held nothing but blank lines, if any, and whether two readings gave the
  // same lines.
  bool empty() const;
  bool SameText(const IniFile& other) const { return lines_ == other.lines_; }
  // The lines no lookup takes anything from, in the file's order (IniLineCheck).
  const std::vector<IniUnusableLine>& unusable_lines() const { return unusable_lines_; }
  // The value of `key` in `section`, or `fallback` when the file, the section or the key is
  // missing or the file cannot be read; a key present with an empty value gives the empty
  // value. At most size - 1 characters come back.
  std::string Value(const char* section, const char* key, const char* fallback, size_t size) const;
  // The names of the keys in `section`, as the file spells them; none when the file or the
  // section is missing or the file cannot be read.
  std::vector<std::string> Keys(const char* section) const;
  // The names of the sections, as the file spells them, in its order.
  std::vector<std::string> Sections() const;

 private:
  IniFile() = default;
  // Takes the file's text into lines_, noting what it is if not plain text, and which lines
  // cannot be used.
  void TakeText(std::string_view text);

  std::optional<std::string> problem_;
  std::optional<std::string> doubt_;
  std::vector<IniUnusableLine> unusable_lines_;
  std::vector<std::string> lines_;  // the text, line by line
};

// Each system's part: the whole of the file at `path`, at most kLargestIniFile bytes, into
// `text`. Nothing and no text when the file is not there; else why it cannot be read, if it
// cannot.
std::optional<std::string> ReadIniFileBytes(const std::string& path, std::string& text);

// "it is larger than the 64 MiB the reader takes", for every system.
std::string IniFileTooLarge();

}  // namespace tavorin
