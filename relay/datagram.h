// What the relay carries: datagrams of 1 byte up to its limit, whole, both ways. Longer ones
// are dropped whole, never cut short, and so are empty ones.
#pragma once

#include <cstddef>

#include "platform/udp_socket.h"

namespace tavorin {

// The limit unless the settings raise or lower it.
inline constexpr size_t kDefaultMaxDatagram = 520;
// The largest payload a UDP datagram over IPv4 can carry.
inline constexpr size_t kLargestDatagram = 65507;

inline bool Relayable(const ReceiveSlot& slot, size_t limit) {
  return !slot.truncated && slot.length > 0 && slot.length <= limit;
}

}  // namespace tavorin
