// What the relay carries: datagrams of 1 to 520 bytes, whole. Larger ones are dropped whole,
// never cut short, and so are empty ones, both ways.
#pragma once

#include <cstddef>

#include "platform/udp_socket.h"

namespace tavorin {

inline constexpr size_t kMaxDatagram = 520;

inline bool Relayable(const ReceiveSlot& slot) {
  return !slot.truncated && slot.length > 0 && slot.length <= kMaxDatagram;
}

}  // namespace tavorin
