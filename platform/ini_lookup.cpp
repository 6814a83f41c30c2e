#include "platform/ini_lookup.h"

#include <utility>

namespace tavorin {

namespace {

std::string_view Trim(std::string_view s) {
  auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; };
  while (!s.empty() && blank(s.front()))
    s.remove_prefix(1);
  while (!s.empty() && blank(s.back()))
    s.remove_suffix(1);
  return s;
}

bool SameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size())
    return false;
  for (size_t i = 0; i < a.size(); ++i) {
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
    if (lower(a[i]) != lower(b[i]))
      return false;
  }
  return true;
}

// A line of the file as the reader takes it: trimmed, without a byte order mark on the first
// line. Returns true for a section header, after noting in `in_section` whether it opens
// `section`; false for any other line, which is empty when there is nothing in it.
bool TakeLine(std::string_view& line, bool& first_line, std::string_view section,
              bool& in_section) {
  if (first_line) {
    first_line = false;
    if (line.substr(0, 3) == "\xEF\xBB\xBF")
      line.remove_prefix(3);  // UTF-8 byte order mark
  }
  line = Trim(line);
  if (!line.empty() && line.front() == ';')
    line = {};
  if (line.empty() || line.front() != '[')
    return false;
  size_t close = line.find(']');
  in_section =
      close != std::string_view::npos && SameName(Trim(line.substr(1, close - 1)), section);
  return true;
}

}  // namespace

size_t IniLines::Start(std::string_view bytes) {
  if (form_ != Form::kUnknown)
    return 0;
  const bool two = bytes.size() >= 2;
  if (two && bytes[0] == '\xFF' && bytes[1] == '\xFE') {
    form_ = Form::kUtf16Le;
  } else if (two && bytes[0] == '\xFE' && bytes[1] == '\xFF') {
    form_ = Form::kUtf16Be;
  } else {
    form_ = Form::kBytes;
    return 0;
  }
  return 2;
}

bool IniLines::Next(unsigned char byte, uint32_t& code) {
  if (form_ == Form::kBytes) {
    code = byte;
    return true;
  }
  if (pending_ < 0) {
    pending_ = byte;
    return false;
  }
  const uint32_t first = static_cast<uint32_t>(pending_);
  code = form_ == Form::kUtf16Le ? (uint32_t{byte} << 8) | first : (first << 8) | byte;
  pending_ = -1;
  return true;
}

void IniLines::Append(uint32_t code) {
  if (line_.size() >= longest_) {
    cut_ = true;
    return;
  }
  if (code == 0xFEFF)
    return;
  if (form_ == Form::kBytes || code < 0x80) {
    line_.push_back(static_cast<char>(code));
  } else if (code < 0x800) {
    line_.push_back(static_cast<char>(0xC0 | (code >> 6)));
    line_.push_back(static_cast<char>(0x80 | (code & 0x3F)));
  } else {
    line_.push_back(static_cast<char>(0xE0 | (code >> 12)));
    line_.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
    line_.push_back(static_cast<char>(0x80 | (code & 0x3F)));
  }
}

bool IniKeyList::Feed(std::string_view line) {
  if (TakeLine(line, first_line_, section_, in_section_) || line.empty() || !in_section_)
    return false;
  size_t equals = line.find('=');
  if (equals != std::string_view::npos)
    keys_.emplace_back(Trim(line.substr(0, equals)));
  return false;
}

bool IniSectionList::Feed(std::string_view line) {
  bool in_none = false;
  if (TakeLine(line, first_line_, {}, in_none)) {
    const size_t close = line.find(']');
    sections_.emplace_back(
        Trim(line.substr(1, close == std::string_view::npos ? close : close - 1)));
  }
  return false;
}

void IniLineCheck::Feed(std::string_view line, bool cut, bool ended) {
  ++number_;
  bool in_none = false;
  const bool header = TakeLine(line, first_line_, {}, in_none);
  if (line.empty())
    return;  // blank, or a comment
  auto unusable = [&](std::string why) {
    unusable_.push_back(IniUnusableLine{number_, std::string(line), std::move(why)});
  };
  const size_t equals = line.find('=');
  in_a_section_ = in_a_section_ || header;
  if (cut) {
    unusable("is longer than the " + std::to_string(kLongestIniLine) +
             " bytes the reader takes; the rest of it is not read");
  } else if (header) {
    if (line.find(']') == std::string_view::npos)
      unusable("has no \"]\" to close the section's name; the keys under it are not read");
  } else if (equals == std::string_view::npos) {
    unusable(ended ? "has no \"=\"; it is not read"
                   : "has no \"=\" and no line end (the file may have been cut while it was "
                     "written); it is not read");
  } else if (Trim(line.substr(0, equals)).empty()) {
    unusable("has no key's name before \"=\"; it is not read");
  } else if (!in_a_section_) {
    unusable("comes before any [section]; it is not read");
  }
}

std::optional<std::string> IniTextDoubt(std::string_view head) {
  if (head.substr(0, 2) == "\xFF\xFE" || head.substr(0, 2) == "\xFE\xFF")
    return std::nullopt;  // UTF-16 that says so
  // UTF-16 of plain text has a zero byte in every other place; text has none at all, and few
  // control characters but line ends and tabs.
  size_t zeros[2] = {0, 0};
  size_t controls = 0;
  for (size_t i = 0; i < head.size(); ++i) {
    const auto c = static_cast<unsigned char>(head[i]);
    if (c == 0)
      ++zeros[i % 2];
    else if (c < 0x20 && c != '\t' && c != '\n' && c != '\r' && c != '\f' && c != '\v')
      ++controls;
  }
  const size_t half = head.size() / 2;
  if (half >= 2 && (zeros[0] >= half * 3 / 4 || zeros[1] >= half * 3 / 4) &&
      zeros[0] + zeros[1] <= half + 1) {
    return "is UTF-16 text without a byte-order mark, which the reader cannot take: its keys "
           "take their defaults (save it as UTF-8, or as UTF-16 with a byte-order mark)";
  }
  if (zeros[0] + zeros[1] > 0 || controls * 10 > head.size())
    return "is not text: the keys found in it are used, the others take their defaults";
  return std::nullopt;
}

bool IniLookup::Feed(std::string_view line) {
  if (value_)
    return true;
  if (TakeLine(line, first_line_, section_, in_section_) || line.empty())
    return false;
  size_t equals = line.find('=');
  if (!in_section_ || equals == std::string_view::npos ||
      !SameName(Trim(line.substr(0, equals)), key_)) {
    return false;
  }
  std::string_view v = Trim(line.substr(equals + 1));
  if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front()) {
    v = v.substr(1, v.size() - 2);
  }
  value_.emplace(v);
  return true;
}

std::string IniResult(const std::optional<std::string>& value, std::string_view fallback,
                      size_t size) {
  std::string_view chosen = value ? std::string_view(*value) : fallback;
  chosen = chosen.substr(0, chosen.find('\0'));
  return std::string(chosen.substr(0, size == 0 ? 0 : size - 1));
}

std::string FindIniValue(std::string_view text, std::string_view section, std::string_view key,
                         std::string_view fallback, size_t size) {
  IniLookup lookup(section, key);
  IniLines lines(kLongestIniLine);
  auto take = [&lookup](std::string_view line) { return lookup.Feed(line); };
  if (!lines.Feed(text, take))
    lines.Finish(take);
  return IniResult(lookup.value(), fallback, size);
}

}  // namespace tavorin
