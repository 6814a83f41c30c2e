#include "app/number.h"

namespace tavorin {

namespace {
bool IsSpace(char c) {
  return c == ' ' || (c >= 9 && c <= 13);
}
}  // namespace

int32_t ParseNumber(std::string_view text) {
  size_t i = 0;
  while (i < text.size() && IsSpace(text[i]))
    ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  uint32_t value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    value = value * 10u + static_cast<uint32_t>(text[i] - '0');
  }
  return static_cast<int32_t>(negative ? 0u - value : value);
}

std::optional<uint32_t> ParseWholeNumber(std::string_view text) {
  while (!text.empty() && IsSpace(text.front()))
    text.remove_prefix(1);
  while (!text.empty() && IsSpace(text.back()))
    text.remove_suffix(1);
  if (text.empty())
    return std::nullopt;
  uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9')
      return std::nullopt;
    value = value * 10u + static_cast<uint64_t>(c - '0');
    if (value > UINT32_MAX)
      return std::nullopt;
  }
  return static_cast<uint32_t>(value);
}

}  // namespace tavorin
