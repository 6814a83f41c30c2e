// The counts a listening port keeps, each declared once below: its name is the field (with a
// trailing underscore), the accessor and the key in the link log's counters line, which shows
// them in this order. The kind of each says who adds to it and how readers on other threads see
// it; any thread may read any count at any time, without a lock.
#pragma once

#include <atomic>
#include <cstdint>

namespace tavorin {

// A count with a single writer: a relaxed load and store, no locked instruction, and readers on
// other threads see whole values.
class SoleCount {
 public:
  void Add(uint64_t n) {
    value_.store(value_.load(std::memory_order_relaxed) + n, std::memory_order_relaxed);
  }
  uint64_t Get() const { return value_.load(std::memory_order_relaxed); }

 private:
  std::atomic<uint64_t> value_{0};
};

// A count that several threads add to: a relaxed locked add.
class SharedCount {
 public:
  void Add(uint64_t n) { value_.fetch_add(n, std::memory_order_relaxed); }
  uint64_t Get() const { return value_.load(std::memory_order_relaxed); }

 private:
  std::atomic<uint64_t> value_{0};
};

// A count that publishes what its writers stored before adding to it (the latest refusal, drop
// or failure): a reader that reads the count first sees at least what came with it.
class PublishedCount {
 public:
  void Add(uint64_t n) { value_.fetch_add(n, std::memory_order_release); }
  uint64_t Get() const { return value_.load(std::memory_order_acquire); }

 private:
  std::atomic<uint64_t> value_{0};
};

// A count that the receive thread adds to alone, and every return thread too: the receive
// thread's part takes no locked instruction, and readers see the sum.
class ReceiveAndReturnCount {
 public:
  void AddOnReceiveThread(uint64_t n) { receive_.Add(n); }
  void AddOnReturnThread(uint64_t n) { returns_.Add(n); }
  uint64_t Get() const { return receive_.Get() + returns_.Get(); }

 private:
  SoleCount receive_;
  SharedCount returns_;
};

// X(name, kind, what): the counts of LinkCounters, of new clients and their links; only the
// receive thread adds to them.
#define TAVORIN_LINK_COUNTERS(X)                                                              \
  X(links_made, SharedCount, "links made")                                                    \
  X(links_expired, SharedCount, "links that were idle for IdleTimeout and left the table")    \
  X(clients_refused, SoleCount,                                                               \
    "clients that could have no link: each endpoint once in a run of refusals (until a "      \
    "link is made again)")                                                                    \
  X(datagrams_refused, PublishedCount,                                                        \
    "datagrams dropped because no link could be had for their client")                        \
  X(clients_not_allowed, SoleCount,                                                           \
    "clients without a link outside AllowClients: each endpoint once while among the latest " \
    "thousand or so turned away")                                                             \
  X(datagrams_not_allowed, PublishedCount,                                                    \
    "datagrams of clients without a link outside AllowClients, dropped")                      \
  X(links_closed_not_allowed, SharedCount,                                                    \
    "links closed by a reload whose AllowClients no longer takes their clients")              \
  X(links_closed_family, SharedCount,                                                         \
    "links closed when the server moved to the other address family, their sockets unable "   \
    "to follow it")                                                                           \
  X(links_taken_over, SharedCount,                                                            \
    "links handed on by the previous run of the relay, with their sockets (counted anew)")

// X(name, kind, what): the counts of PortCounters, of datagrams carried and not carried.
#define TAVORIN_PORT_COUNTERS(X)                                                                 \
  X(to_server_datagrams, SoleCount, "datagrams relayed to the server")                           \
  X(to_server_bytes, SoleCount, "their bytes")                                                   \
  X(to_client_datagrams, SharedCount, "datagrams relayed to clients")                            \
  X(to_client_bytes, SharedCount, "their bytes")                                                 \
  X(dropped_empty, SharedCount, "datagrams of 0 bytes, either way")                              \
  X(dropped_oversize, PublishedCount, "datagrams longer than MaxDatagram, either way")           \
  X(dropped_loop, ReceiveAndReturnCount,                                                         \
    "datagrams from the relay's or the server's own endpoints, or from a listening port to a "   \
    "link")                                                                                      \
  X(dropped_not_from_server, SharedCount,                                                        \
    "datagrams that reached a link from another address than the server's, with "                \
    "RepliesFromServerOnly")                                                                     \
  X(dropped_over_rate, SoleCount, "datagrams over a client's ClientRate")                        \
  X(dropped_proxy_header, SoleCount,                                                             \
    "datagrams from ProxyProtocolFrom networks without a valid PROXY v2 header, or naming "      \
    "another client than their link's")                                                          \
  X(dropped_by_system, SoleCount,                                                                \
    "datagrams the system dropped before the relay read them, the listening socket's receive "   \
    "buffer full (Linux)")                                                                       \
  X(send_failed_to_server, PublishedCount, "datagrams the system refused to send to the server") \
  X(send_failed_to_client, PublishedCount, "datagrams the system refused to send to clients")    \
  X(server_refused, PublishedCount,                                                              \
    "datagrams the server refused: nobody was on its port (ICMP port unreachable)")              \
  X(follow_refused, SoleCount,                                                                   \
    "datagrams sent to the server's own port instead of the port a link followed, which this "   \
    "relay holds on the server's address (FollowServerPort)")

// The field of a count and its accessor.
#define TAVORIN_COUNTER_FIELD(name, kind, what) kind name##_;
#define TAVORIN_COUNTER_ACCESSOR(name, kind, what) \
  uint64_t name() const {                          \
    return name##_.Get();                          \
  }

}  // namespace tavorin
