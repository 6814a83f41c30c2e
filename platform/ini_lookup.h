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
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tavorin {

// A file's bytes into lines, in pieces as they come. Lines end in LF, CR LF or CR alone; a text
// that starts with a UTF-16 byte-order mark (what Windows tools write as "Unicode") is read as
// UTF-16 and its lines come in UTF-8. A line longer than `longest` bytes is cut there, and
// cut() says so while `take` has it.
class IniLines {
 public:
  explicit IniLines(size_t longest) : longest_(longest) {}

  // Hands every line that `bytes` completes to `take(line)`, until that returns true; then
  // returns true.
  template <typename Take>
  bool Feed(std::string_view bytes, Take&& take) {
    for (size_t i = Start(bytes); i < bytes.size(); ++i) {
      uint32_t code = 0;
      if (!Next(static_cast<unsigned char>(bytes[i]), code))
        continue;
      const bool after_cr = after_cr_;
      after_cr_ = code == '\r';
      if (code == '\n' && after_cr)
        continue;  // the second half of CR LF
      if (code == '\n' || code == '\r') {
        bool done = take(std::string_view(line_));
        line_.clear();
        cut_ = false;
        if (done)
          return true;
      } else {
        Append(code);
      }
    }
    return false;
  }
  // The last line, which no line end closed: empty when the text ends with one.
  template <typename Take>
  void Finish(Take&& take) {
    take(std::string_view(line_));
  }
  // Whether the line being taken was longer than `longest`.
  bool cut() const { return cut_; }

 private:
  // Past the byte-order mark of UTF-16, at the start of the text.
  size_t Start(std::string_view bytes);
  // Takes one byte; true with `code` when it completes a character.
  bool Next(unsigned char byte, uint32_t& code);
  void Append(uint32_t code);

  enum class Form { kUnknown, kBytes, kUtf16Le, kUtf16Be };
  size_t longest_;
  Form form_ = Form::kUnknown;
  int pending_ = -1;  // the first byte of a UTF-16 unit whose second has not come yet
  bool after_cr_ = false;
  bool cut_ = false;
  std::string line_;
};

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

// The names of the sections, in the order the file gives them, fed line by line like
// IniLookup.
class IniSectionList {
 public:
  // Never has its answer before the last line: returns false.
  bool Feed(std::string_view line);
  const std::vector<std::string>& sections() const { return sections_; }

 private:
  bool first_line_ = true;
  std::vector<std::string> sections_;
};

// A line that no lookup takes anything from, though it is neither blank nor a comment.
struct IniUnusableLine {
  size_t number;     // counted from 1
  std::string text;  // as the file has it, without spaces around
  std::string why;   // "has no \"=\"; it is not read", ...
};

// The lines of a file that no lookup can use, fed line by line like IniLookup: text with no
// `=`, a section name with no `]`, a key before any section or with no name, a line longer
// than the reader takes. Each says why; one with no `=` that ends the file with no line end
// says the file may have been cut while it was written.
class IniLineCheck {
 public:
  // `cut`: the reader cut the line at its bound; `ended`: a line end followed it.
  void Feed(std::string_view line, bool cut, bool ended);
  const std::vector<IniUnusableLine>& unusable() const { return unusable_; }

 private:
  size_t number_ = 0;
  bool first_line_ = true;
  bool in_a_section_ = false;
  std::vector<IniUnusableLine> unusable_;
};

// Whether a settings file whose text begins with `head` is text the reader can take: nothing
// when it is, else what it is and what comes of it ("is not text: ..."). A file of UTF-16
// without a byte-order mark, or one that is not text at all, would otherwise give defaults in
// silence.
std::optional<std::string> IniTextDoubt(std::string_view head);

// What the reader hands back: `value`, or `fallback` when there is none, cut to size - 1
// characters (nothing when size is 0). A value holding a NUL byte ends there.
std::string IniResult(const std::optional<std::string>& value, std::string_view fallback,
                      size_t size);

// The longest line a reader takes; a longer one is cut there.
inline constexpr size_t kLongestIniLine = 64 * 1024;

// The whole lookup over a file's text.
std::string FindIniValue(std::string_view text, std::string_view section, std::string_view key,
                         std::string_view fallback, size_t size);

}  // namespace tavorin
