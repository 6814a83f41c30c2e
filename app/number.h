// Numbers in the settings file.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace tavorin {

// A decimal integer: white space (characters 9 to 13 and 32) is skipped, then an optional
// sign, then digits up to the first other character. The digits wrap around modulo 2^32
// before the sign is applied; no digits give 0.
int32_t ParseNumber(std::string_view text);

// A value of the opt-in settings: a whole number of 0 or more, in decimal digits only, with
// white space allowed around it; nothing for anything else, or for more than 2^32 - 1.
std::optional<uint32_t> ParseWholeNumber(std::string_view text);

// n + 1, wrapping at the top of the signed 32-bit range.
inline int32_t NextNumber(int32_t n) {
  return static_cast<int32_t>(static_cast<uint32_t>(n) + 1u);
}

// The port a number stands for in an endpoint: its low 16 bits.
inline uint16_t PortOf(int32_t n) {
  return static_cast<uint16_t>(static_cast<uint32_t>(n));
}

}  // namespace tavorin
