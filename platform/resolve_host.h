// The server's host, as a dotted IPv4 address or a name.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace tavorin {

// The IPv4 address (network byte order) of `host`: the dotted forms the system's inet_addr
// takes, else the first IPv4 address a name lookup gives. Nothing when neither works.
std::optional<uint32_t> ResolveHost(const std::string& host);

}  // namespace tavorin
