// What one listening port has carried, and what it did not carry and why (declared in
// relay/counters.h). The receive thread and every link's return thread count; any thread may
// read, at any time, without a lock.
// The totals of what was relayed are kept only while someone reads them (the link log): many
// return threads add to them at once.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "platform/endpoint.h"
#include "platform/udp_socket.h"
#include "relay/counters.h"

namespace tavorin {

// Datagrams and their bytes, one way.
struct Traffic {
  uint64_t datagrams = 0;
  uint64_t bytes = 0;
};

enum class Direction : uint8_t { kToServer, kToClient };

// An endpoint that one thread stores and another loads, word by word, without a lock. (Only for
// a report: stores on several threads at once may mix their words.)
class EndpointWords {
 public:
  void Store(const Endpoint& e) {
    uint64_t words[4] = {};
    std::memcpy(words, &e, sizeof e);
    for (int i = 0; i < 4; ++i)
      words_[i].store(words[i], std::memory_order_relaxed);
  }
  Endpoint Load() const {
    uint64_t words[4];
    for (int i = 0; i < 4; ++i)
      words[i] = words_[i].load(std::memory_order_relaxed);
    Endpoint e;
    std::memcpy(&e, words, sizeof e);
    return e;
  }

 private:
  static_assert(sizeof(Endpoint) <= 4 * sizeof(uint64_t), "an endpoint fits in four words");
  std::atomic<uint64_t> words_[4] = {};
};

class PortCounters {
 public:
  // Counts `slot`, which was not relayable under `limit`.
  void CountUnrelayable(const ReceiveSlot& slot, size_t limit) {
    if (slot.length == 0 && !slot.truncated) {
      dropped_empty_.Add(1);
      return;
    }
    // Where the system tells a cut datagram's whole length, it is longer than the buffer.
    latest_oversize_.store(slot.length > limit ? slot.length : 0, std::memory_order_relaxed);
    dropped_oversize_.Add(1);
  }
  // A datagram from one of the relay's or the server's own endpoints (receive thread only).
  void CountGuarded() { dropped_loop_.AddOnReceiveThread(1); }
  // A datagram that reached a link from the relay's own listening port (any return thread).
  void CountGuardedReply() { dropped_loop_.AddOnReturnThread(1); }
  // A datagram that reached a link from another address than the server's, when only the
  // server's are passed on.
  void CountForeign() { dropped_not_from_server_.Add(1); }
  // A datagram over a client's rate (receive thread only).
  void CountOverRate() { dropped_over_rate_.Add(1); }
  // A datagram of a relay in front without a header to be trusted (receive thread only).
  void CountBadFrontHeader() { dropped_proxy_header_.Add(1); }
  // Datagrams sent to the server's own port, as the port their link followed is held by this
  // relay (receive thread only).
  void CountFollowRefused(uint64_t datagrams) { follow_refused_.Add(datagrams); }
  // `failed` datagrams that the system refused to send towards `to`, the last with `error`.
  void CountSendFailures(Direction direction, int failed, int error, const Endpoint& to) {
    last_failure_.store(
        (uint64_t{static_cast<uint8_t>(direction)} << 32) | static_cast<uint32_t>(error),
        std::memory_order_relaxed);
    last_failure_to_.Store(to);
    (direction == Direction::kToServer ? send_failed_to_server_ : send_failed_to_client_)
        .Add(static_cast<uint64_t>(failed));
  }
  // `refused` datagrams that the system reported refused by `server` (port unreachable), on
  // any return thread.
  void CountServerRefusals(int refused, const Endpoint& server) {
    last_refused_by_.Store(server);
    server_refused_.Add(static_cast<uint64_t>(refused));
  }
  // The system's count of what it dropped on the listening socket, all told, with the latest
  // datagram (see UdpSocket::ReportSystemDrops): what it grew by since the count before is
  // counted, one that lags behind it ignored (receive thread only). Before the receive thread
  // starts, the count the socket had when it was taken: one the previous run handed on may
  // have dropped datagrams then.
  void StartSystemDrops(uint32_t total) { system_drops_seen_ = total; }
  void CountSystemDrops(uint32_t total) {
    const uint32_t grown = total - system_drops_seen_;
    if (grown != 0 && grown < 0x80000000u) {
      dropped_by_system_.Add(grown);
      system_drops_seen_ = total;
    }
  }
  // Datagrams sent to the server, whether or not the link log is kept (receive thread only),
  // and a datagram that reached a link (any return thread): what tells a server that answers
  // nothing. A reply costs a load of a line that changes only when taken.
  void CountSent(uint64_t datagrams) { sent_.Add(datagrams); }
  void NoteAnswer() {
    if (!answered_.load(std::memory_order_relaxed))
      answered_.store(true, std::memory_order_relaxed);
  }
  uint64_t sent() const { return sent_.Get(); }
  // Whether a link has heard anything since the call before. One thread alone calls this.
  bool TakeAnswered() { return answered_.exchange(false, std::memory_order_relaxed); }
  // Datagrams relayed, while `counting_relayed` is set: towards the server by the receive thread
  // alone, towards clients by every return thread.
  void CountToServer(uint64_t datagrams, uint64_t bytes) {
    to_server_datagrams_.Add(datagrams);
    to_server_bytes_.Add(bytes);
  }
  void CountToClient(uint64_t datagrams, uint64_t bytes) {
    to_client_datagrams_.Add(datagrams);
    to_client_bytes_.Add(bytes);
  }

  TAVORIN_PORT_COUNTERS(TAVORIN_COUNTER_ACCESSOR)
  // The length of the latest datagram dropped for its length, 0 where the system did not say.
  size_t latest_oversize() const { return latest_oversize_.load(std::memory_order_relaxed); }
  // The direction, error and destination of the latest failed send.
  Direction last_failure_direction() const {
    return static_cast<Direction>(last_failure_.load(std::memory_order_relaxed) >> 32);
  }
  int last_failure_error() const {
    return static_cast<int>(last_failure_.load(std::memory_order_relaxed) & 0xFFFFFFFFu);
  }
  Endpoint last_failure_to() const { return last_failure_to_.Load(); }
  // The server that refused the latest refused datagram.
  Endpoint last_refused_by() const { return last_refused_by_.Load(); }
  Traffic to_server() const { return {to_server_datagrams(), to_server_bytes()}; }
  Traffic to_client() const { return {to_client_datagrams(), to_client_bytes()}; }

  // Whether the totals of what was relayed are kept; any time (a reload).
  std::atomic<bool> counting_relayed{false};

 private:
  TAVORIN_PORT_COUNTERS(TAVORIN_COUNTER_FIELD)
  std::atomic<size_t> latest_oversize_{0};
  std::atomic<uint64_t> last_failure_{0};
  EndpointWords last_failure_to_;
  EndpointWords last_refused_by_;
  uint32_t system_drops_seen_ = 0;
  SoleCount sent_;
  // On a line of its own: every reply reads it.
  alignas(64) std::atomic<bool> answered_{false};
};

}  // namespace tavorin
