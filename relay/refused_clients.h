// The new clients a Listener has refused lately, so that a client is counted once in a run of
// refusals however many datagrams it sends meanwhile. The receive thread's alone: a
// direct-mapped table of fixed size, hashed under a key of its own, with no allocation and no
// lock. A client whose entry another has taken since (two clients in one slot, or more refused
// than there are entries) is counted again: under a flood of new clients the count runs a little
// high, never low.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "platform/endpoint.h"
#include "relay/keyed_hash.h"

namespace tavorin {

class RefusedClients {
 public:
  // Whether `client`, refused now, is new to the present run of refusals; it is noted.
  bool Note(const Endpoint& client) {
    const Key key = KeyOf(client);
    Entry& entry = entries_[hash_(key) % kEntries];
    if (entry.run == run_ && entry.key == key)
      return false;
    entry.key = key;
    entry.run = run_;
    return true;
  }

  // A link has been made: a run of refusals, if there was one, is over, and whoever is refused
  // next is counted anew.
  void EndRun() { ++run_; }

 private:
  static constexpr size_t kEntries = 1024;
  // Address, port and family in three words: an IPv4 client's address and port in the first,
  // an IPv6 one's address in the first two and its port, with a bit for the family, in the
  // third.
  using Key = std::array<uint64_t, 3>;
  static Key KeyOf(const Endpoint& e) {
    if (!e.is_v6())
      return {(uint64_t{e.v4.sin_addr.s_addr} << 16) | e.port_net(), 0, 0};
    Key key{0, 0, (uint64_t{1} << 16) | e.port_net()};
    std::memcpy(key.data(), &e.v6.sin6_addr, 16);
    return key;
  }
  struct Entry {
    Key key{};
    uint64_t run = 0;  // never the present run before it is written
  };

  KeyedHash hash_;
  uint64_t run_ = 1;
  std::array<Entry, kEntries> entries_{};
};

}  // namespace tavorin
