#include "platform/resolve_host.h"

#include "platform/socket_api.h"

namespace tavorin {

namespace {
std::optional<Endpoint> Lookup(const std::string& host, int family, int flags = 0,
                               bool unmap = true) {
  addrinfo hints{};
  hints.ai_family = family;
  hints.ai_socktype = SOCK_DGRAM;
  hints.ai_flags = flags;
  addrinfo* found = nullptr;
  if (getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || found == nullptr)
    return std::nullopt;
  Endpoint e;
  std::memcpy(e.address(), found->ai_addr, family == AF_INET ? sizeof e.v4 : sizeof e.v6);
  freeaddrinfo(found);
  return unmap ? Unmapped(e) : e;
}
}  // namespace

std::optional<Endpoint> ResolveHost(const std::string& host) {
  uint32_t address = inet_addr(host.c_str());
  if (address != INADDR_NONE)
    return MakeEndpoint(address, 0);
  // As inet_addr does, an address ends at the first white space.
  if (std::optional<Endpoint> literal = ParseAddress(host.substr(0, host.find_first_of(" \t"))))
    return literal;
  if (host.empty())
    return std::nullopt;
  // 255.255.255.255 itself reads as INADDR_NONE above, and comes back from the lookup.
  if (std::optional<Endpoint> found = Lookup(host, AF_INET))
    return found;
  return Lookup(host, AF_INET6);
}

std::optional<Endpoint> ParseAddress(const std::string& text, bool unmap) {
  in_addr v4{};
  if (inet_pton(AF_INET, text.c_str(), &v4) == 1)
    return MakeEndpoint(v4.s_addr, 0);
  std::string bare = text;
  if (bare.size() > 2 && bare.front() == '[' && bare.back() == ']')
    bare = bare.substr(1, bare.size() - 2);
  in6_addr v6{};
  if (inet_pton(AF_INET6, bare.c_str(), &v6) == 1)
    return unmap ? Unmapped(MakeEndpoint6(v6, 0)) : MakeEndpoint6(v6, 0);
  if (bare.find('%') == std::string::npos)
    return std::nullopt;
  // A scoped address (fe80::1%eth0, fe80::1%2) keeps its scope; the system knows the names of
  // its interfaces.
  return Lookup(bare, AF_INET6, AI_NUMERICHOST, unmap);
}

}  // namespace tavorin
