// The initialization-file reader: one value from a settings file.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tavorin {

// The settings file: on POSIX its lines are taken at construction and every lookup is in
// memory; on Windows every lookup asks the system's reader afresh. A file that is there but
// cannot be read gives every key its fallback, and `problem` says why; a file that is not
// text the reader can take is read all the same, and `doubt` says what it is.
class IniFile {
 public:
  explicit IniFile(std::string path);
  // The text of a settings file, read as a file's would be but in memory on every system.
  static IniFile FromText(std::string_view text);

  const std::optional<std::string>& problem() const { return problem_; }
  const std::optional<std::string>& doubt() const { return doubt_; }
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
  // Takes the file's text into lines_, and notes what it is if not plain text.
  void TakeText(std::string_view text);
  // The lookups over lines_, shared by every system.
  std::string ValueInText(const char* section, const char* key, const char* fallback,
                          size_t size) const;
  std::vector<std::string> KeysInText(const char* section) const;
  std::vector<std::string> SectionsInText() const;

  std::string path_;
  std::optional<std::string> problem_;
  std::optional<std::string> doubt_;
  bool system_reader_ = false;      // lookups ask the system's reader (Windows)
  std::vector<std::string> lines_;  // else the text, line by line
};

}  // namespace tavorin
