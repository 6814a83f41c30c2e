// Windows hands no socket on to a next run of the relay: no carrier is ever made.
#include "platform/socket_carrier.h"

#include <utility>

namespace tavorin {

SocketCarrier::SocketCarrier(SocketCarrier&& other) noexcept
    : in_(std::exchange(other.in_, kNoSocket)), out_(std::exchange(other.out_, kNoSocket)) {}

SocketCarrier& SocketCarrier::operator=(SocketCarrier&& other) noexcept {
  std::swap(in_, other.in_);
  std::swap(out_, other.out_);
  return *this;
}

int SocketCarrier::Make(SocketCarrier&) {
  return kNoAddressFamily;
}

int SocketCarrier::Send(const void*, size_t, const SocketHandle*, size_t) const {
  return kNoAddressFamily;
}

bool SocketCarrier::Receive(void*, size_t, Message&) const {
  return false;
}

void SocketCarrier::Close() {
  in_ = kNoSocket;
  out_ = kNoSocket;
}

}  // namespace tavorin
