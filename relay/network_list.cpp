#include "relay/network_list.h"

#include <algorithm>
#include <cstring>

#include "platform/resolve_host.h"

namespace tavorin {

namespace {

bool Separator(char c) {
  return c == ',' || c == ' ' || c == '\t';
}

std::optional<unsigned> WholeNumber(const std::string& text) {
  if (text.empty() || text.size() > 3)
    return std::nullopt;
  unsigned n = 0;
  for (char c : text) {
    if (c < '0' || c > '9')
      return std::nullopt;
    n = n * 10 + static_cast<unsigned>(c - '0');
  }
  return n;
}

// The bits of a word of `width` bits that the first `bits` of a prefix cover.
uint64_t Mask(int bits, int width) {
  if (bits <= 0)
    return 0;
  const uint64_t all = width == 64 ? ~uint64_t{0} : (uint64_t{1} << width) - 1;
  return bits >= width ? all : all & ~(all >> bits);
}

uint64_t BigEndianWord(const unsigned char* bytes) {
  uint64_t word = 0;
  for (int i = 0; i < 8; ++i)
    word = word << 8 | bytes[i];
  return word;
}

// One network as written: its address (of the family it counts in) and prefix, or why not.
struct Network {
  Endpoint address;
  unsigned prefix;
};

std::optional<Network> ParseNetwork(const std::string& entry, std::string* why) {
  const size_t slash = entry.find('/');
  const std::string written = entry.substr(0, slash);
  if (written.find('%') != std::string::npos) {
    *why = "which names a scope (%), which no network has";
    return std::nullopt;
  }
  std::optional<Endpoint> address = ParseAddress(written);
  if (!address) {
    *why = "which is not an IPv4 or IPv6 address with /prefix";
    return std::nullopt;
  }
  // An IPv4 address in IPv6 form counts its prefix over the whole IPv6 address.
  const bool mapped = !address->is_v6() && written.find(':') != std::string::npos;
  const unsigned bits = address->is_v6() ? 128 : 32;
  const unsigned least = mapped ? 96 : 0;
  unsigned prefix = bits;
  if (slash != std::string::npos) {
    std::optional<unsigned> given = WholeNumber(entry.substr(slash + 1));
    if (!given || *given < least || *given > least + bits) {
      *why = "whose prefix is not a whole number from " + std::to_string(least) + " to " +
             std::to_string(least + bits);
      return std::nullopt;
    }
    prefix = *given - least;
  }
  return Network{*address, prefix};
}

}  // namespace

template <typename Address>
void NetworkList::Merge(std::vector<Range<Address>>& ranges) {
  std::sort(ranges.begin(), ranges.end(),
            [](const Range<Address>& a, const Range<Address>& b) { return a.low < b.low; });
  size_t kept = 0;
  for (const Range<Address>& range : ranges) {
    if (kept > 0 && !(ranges[kept - 1].high < range.low)) {
      ranges[kept - 1].high = std::max(ranges[kept - 1].high, range.high);
    } else {
      ranges[kept++] = range;
    }
  }
  ranges.resize(kept);
}

template <typename Address>
bool NetworkList::Within(const std::vector<Range<Address>>& ranges, const Address& address) {
  // The last range that begins at or below the address holds it, if any does.
  auto after =
      std::upper_bound(ranges.begin(), ranges.end(), address,
                       [](const Address& a, const Range<Address>& range) { return a < range.low; });
  return after != ranges.begin() && !((after - 1)->high < address);
}

std::optional<NetworkList> NetworkList::Parse(const std::string& text, std::string* problem) {
  NetworkList list;
  for (size_t at = 0; at < text.size();) {
    if (Separator(text[at])) {
      ++at;
      continue;
    }
    size_t end = at;
    while (end < text.size() && !Separator(text[end]))
      ++end;
    const std::string entry = text.substr(at, end - at);
    at = end;
    std::string why;
    std::optional<Network> network = ParseNetwork(entry, &why);
    bool host_bits = false;
    if (network && !network->address.is_v6()) {
      const uint32_t address = ntohl(network->address.v4.sin_addr.s_addr);
      const auto mask = static_cast<uint32_t>(Mask(static_cast<int>(network->prefix), 32));
      host_bits = (address & ~mask) != 0;
      network->address.v4.sin_addr.s_addr = htonl(address & mask);
      list.v4_.push_back({address & mask, address | ~mask});
    } else if (network) {
      const auto* bytes = reinterpret_cast<const unsigned char*>(&network->address.v6.sin6_addr);
      const Address6 address = {BigEndianWord(bytes), BigEndianWord(bytes + 8)};
      const int prefix = static_cast<int>(network->prefix);
      const Address6 mask = {Mask(prefix, 64), Mask(prefix - 64, 64)};
      Address6 low;
      Address6 high;
      for (int i = 0; i < 2; ++i) {
        host_bits = host_bits || (address[i] & ~mask[i]) != 0;
        low[i] = address[i] & mask[i];
        high[i] = address[i] | ~mask[i];
      }
      unsigned char masked[16];
      for (int i = 0; i < 16; ++i)
        masked[i] = static_cast<unsigned char>(low[i / 8] >> (56 - 8 * (i % 8)));
      std::memcpy(&network->address.v6.sin6_addr, masked, sizeof masked);
      list.v6_.push_back({low, high});
    }
    const std::string canonical =
        network ? AddressText(network->address) + "/" + std::to_string(network->prefix) : "";
    if (host_bits) {
      why = "which has bits set past its prefix (the network would be " + canonical + ")";
      network.reset();
    }
    if (!network) {
      if (problem != nullptr)
        *problem = "has the entry \"" + entry.substr(0, 64) + "\", " + why;
      return std::nullopt;
    }
    list.text_ += (list.text_.empty() ? "" : " ") + canonical;
    ++list.count_;
  }
  Merge(list.v4_);
  Merge(list.v6_);
  return list;
}

bool NetworkList::Contains(const Endpoint& e) const {
  const Endpoint address = Unmapped(e);
  if (!address.is_v6())
    return address.known() && Within(v4_, static_cast<uint32_t>(ntohl(address.v4.sin_addr.s_addr)));
  const auto* bytes = reinterpret_cast<const unsigned char*>(&address.v6.sin6_addr);
  return Within(v6_, Address6{BigEndianWord(bytes), BigEndianWord(bytes + 8)});
}

}  // namespace tavorin
