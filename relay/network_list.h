// A list of networks of either family, address/prefix, read once from the text of a setting:
// the clients a relay lets in, the relays in front whose headers it trusts. A look-up is a
// binary search over the networks merged into sorted ranges of addresses, one array a family:
// about ten comparisons for a thousand networks, and no allocation.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/endpoint.h"

namespace tavorin {

class NetworkList {
 public:
  // The networks `text` writes, separated by commas or white space: an IPv4 or IPv6 address
  // with /prefix (10.0.0.0/8, 2001:db8::/32, ::ffff:192.0.2.0/120 as 192.0.2.0/24), or a bare
  // address for that host alone. None at all is the empty list. Nothing when an entry cannot be
  // used as it is written (no address, a prefix past the family's length, bits set past the
  // prefix, a scope): `problem` then names the entry and says why.
  static std::optional<NetworkList> Parse(const std::string& text, std::string* problem);

  bool empty() const { return text_.empty(); }
  size_t size() const { return count_; }
  // Whether the address of `e` lies in one of the networks, its port aside; an IPv4 address
  // in IPv6 form is taken as the IPv4 one.
  bool Contains(const Endpoint& e) const;
  // The networks as the relay reads them, in the order given, one space between them.
  const std::string& text() const { return text_; }

  bool operator==(const NetworkList& other) const { return text_ == other.text_; }

 private:
  // An IPv6 address as two words, high first, so that arrays compare as the addresses do.
  using Address6 = std::array<uint64_t, 2>;
  template <typename Address>
  struct Range {
    Address low;
    Address high;  // both within
  };
  // Sorts and merges the ranges of one family.
  template <typename Address>
  static void Merge(std::vector<Range<Address>>& ranges);
  template <typename Address>
  static bool Within(const std::vector<Range<Address>>& ranges, const Address& address);

  std::vector<Range<uint32_t>> v4_;  // host order
  std::vector<Range<Address6>> v6_;
  std::string text_;
  size_t count_ = 0;
};

}  // namespace tavorin
