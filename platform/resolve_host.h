// The server's host, as an IPv4 or IPv6 address or a name.
#pragma once

#include <optional>
#include <string>

#include "platform/endpoint.h"

namespace tavorin {

// The address of `host`, with port 0: the dotted IPv4 forms the system's inet_addr takes, an
// IPv6 address (bare or in brackets, [::1]; an IPv4 one in IPv6 form counts as IPv4), else
// what a name lookup gives: its first IPv4 address, or, for a name with none, its first IPv6
// one. Nothing when none of these works.
std::optional<Endpoint> ResolveHost(const std::string& host);

// The address `text` writes, with port 0: an IPv4 address in dotted decimal (192.0.2.1) or an
// IPv6 address, bare or in brackets ([::1]), with its scope if it has one (fe80::1%eth0); an
// IPv4 one in IPv6 form counts as IPv4, unless `unmap` is false (an address as a socket saw it).
// Nothing for anything else, names included.
std::optional<Endpoint> ParseAddress(const std::string& text, bool unmap = true);

}  // namespace tavorin
