#include "platform/resolve_host.h"

#include "platform/socket_api.h"

namespace tavorin {

std::optional<uint32_t> ResolveHost(const std::string& host) {
  uint32_t address = inet_addr(host.c_str());
  if (address != INADDR_NONE) {
    return address;
  }
  // 255.255.255.255 itself reads as INADDR_NONE above, and comes back from the lookup.
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_DGRAM;
  addrinfo* found = nullptr;
  if (host.empty() || getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || !found) {
    return std::nullopt;
  }
  address = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr.s_addr;
  freeaddrinfo(found);
  return address;
}

}  // namespace tavorin
