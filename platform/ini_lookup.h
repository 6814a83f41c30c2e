// Finding one value in the text of an initialization file, fed to it line by line:
//
//   [Section]
//   ; a comment
//   Key = value
//
// Section and key names are compared without regard to case, spaces around names and values
// are ignored, a value wrapped in a pair of matching quotes loses them, and the first match in
// the file wins. A line may end in CR LF.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tavorin {

class IniLookup {
 public:
  IniLookup(std::string_view section, std::string_view key) : section_(section), key_(key) {}

  // Takes the next line, without its line feed. Returns true once the key has been found;
  // later lines change nothing.
  bool Feed(std::string_view line);

  const std::optional<std::string>& value() const { return value_; }

 private:
  std::string section_;
  std::string key_;
  bool in_section_ = false;
  bool first_line_ = true;
  std::optional<std::string> value_;
};

// The names of the keys in one section, in the order the file gives them, fed line by line
// like IniLookup.
class IniKeyList {
 public:
  explicit IniKeyList(std::string_view section) : section_(section) {}
  // Never has its answer before the last line: returns false.
  bool Feed(std::string_view line);
  const std::vector<std::string>& keys() const { return keys_; }

 private:
  std::string section_;
  bool in_section_ = false;
  bool first_line_ = true;
  std::vector<std::string> keys_;
};

// What the reader hands back: `value`, or `fallback` when there is none, cut to size - 1
// characters (nothing when size is 0). A value holding a NUL byte ends there.
std::string IniResult(const std::optional<std::string>& value, std::string_view fallback,
                      size_t size);

// The whole lookup over a file's text.
std::string FindIniValue(std::string_view text, std::string_view section, std::string_view key,
                         std::string_view fallback, size_t size);

}  // namespace tavorin
