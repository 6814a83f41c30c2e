// The number parse against the C library's strtol, wherever strtol cannot overflow.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "app/number.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  const int32_t parsed = tavorin::ParseNumber(text);

  // The digit run strtol would read: after white space and a sign.
  size_t i = text.find_first_not_of(" \t\n\v\f\r");
  if (i == std::string::npos)
    i = text.size();
  if (i < text.size() && (text[i] == '+' || text[i] == '-'))
    ++i;
  size_t digits = 0;
  while (i + digits < text.size() && text[i + digits] >= '0' && text[i + digits] <= '9')
    ++digits;
  if (digits <= 18) {
    long expected = std::strtol(text.c_str(), nullptr, 10);
    if (text.find('\0') < i + digits)
      return 0;  // strtol stops at the NUL
    if (parsed != static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(expected)))) {
      std::abort();
    }
  }
  (void)tavorin::PortOf(tavorin::NextNumber(parsed));
  return 0;
}
