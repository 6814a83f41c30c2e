// A count with its noun in the right number: "1 link held", "2 links held".
#pragma once

#include <cstdint>
#include <string>

namespace tavorin {

inline std::string Counted(uint64_t n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

}  // namespace tavorin
