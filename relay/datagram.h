// The largest datagram the relay carries. Larger ones are dropped whole, never cut short.
#pragma once

#include <cstddef>

namespace tavorin {

inline constexpr size_t kMaxDatagram = 520;

}  // namespace tavorin
