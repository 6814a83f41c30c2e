// The initialization-file reader: one value from a settings file.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace tavorin {

// The settings file, read once: on POSIX its lines are taken at construction and every lookup
// is in memory; on Windows every lookup asks the system's reader. A file that is there but
// cannot be read gives every key its fallback, and `problem` says why.
class IniFile {
 public:
  explicit IniFile(std::string path);

  const std::optional<std::string>& problem() const { return problem_; }
  // The value of `key` in `section`, or `fallback` when the file, the section or the key is
  // missing or the file cannot be read; a key present with an empty value gives the empty
  // value. At most size - 1 characters come back.
  std::string Value(const char* section, const char* key, const char* fallback, size_t size) const;
  // The names of the keys in `section`, as the file spells them; none when the file or the
  // section is missing or the file cannot be read.
  std::vector<std::string> Keys(const char* section) const;

 private:
  std::string path_;
  std::optional<std::string> problem_;
  std::vector<std::string> lines_;  // where the system has no reader of its own
};

}  // namespace tavorin
