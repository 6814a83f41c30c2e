// The sockets of the links held, carried to the next run of the relay: in the queues of a few
// carriers (platform/socket_carrier.h) whose ends the service manager keeps, each socket with a
// record of its link. A new link's socket goes in within a tenth of a second (one message for
// up to 253 links); a closed link's socket leaves its carrier at the next compaction, a few
// seconds later, so that its port is free again; a carrier is made only when those there are
// full. The service manager hears of a carrier once, when it is made, whatever the clients do.
// The main thread's alone.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/endpoint.h"
#include "platform/socket_carrier.h"
#include "platform/udp_socket.h"

namespace tavorin {

// The record that goes with a link's socket.
struct CarriedLink {
  int which = 0;  // the Listener: 0 for P, 1 for P + 1
  Endpoint client;
  Endpoint reply_from;  // unknown when not known
  uint16_t link_port = 0;
  bool v6_socket = false;  // the family of the link's socket
  // Tells records of one client apart: the newest (its socket moved to the other family) is
  // the larger.
  uint32_t serial = 0;
};

// What tells a client's link from every other: its Listener, and the client's address and
// port.
std::string CarriedKey(int which, const Endpoint& client);

// Its bytes in a carrier's message.
inline constexpr size_t kCarriedRecordBytes = 60;
void EncodeCarried(const CarriedLink& link, unsigned char* out);
// None when the bytes are no record of this relay's.
std::optional<CarriedLink> DecodeCarried(const unsigned char* in);

// What a carrier handed on held: each record with the socket that came with it (kNoSocket when
// the message carried fewer sockets than records), and the sockets that came without a record.
struct CarriedContents {
  std::vector<std::pair<CarriedLink, SocketHandle>> links;
  std::vector<SocketHandle> strays;
};
// Takes every message out of `carrier`, which is empty after.
CarriedContents TakeAll(const SocketCarrier& carrier);

class CarriedLinks {
 public:
  using Clock = std::chrono::steady_clock;
  // A carrier not compacted for this long while it holds the socket of a closed link is.
  static constexpr auto kCompactAfter = std::chrono::seconds(2);

  // `keep` has the service manager keep both ends of carrier `number`, once, when it is made.
  using KeepCarrier = std::function<void(const SocketCarrier& carrier, size_t number)>;
  explicit CarriedLinks(KeepCarrier keep) : keep_(std::move(keep)) {}
  ~CarriedLinks();
  CarriedLinks(const CarriedLinks&) = delete;
  CarriedLinks& operator=(const CarriedLinks&) = delete;

  // A carrier the run before handed on, emptied (TakeAll): used again under its number.
  void Adopt(SocketCarrier carrier, size_t number);

  // The socket of a link (a descriptor of its own, which this closes) is to be carried: a new
  // link's, or one moved to the other family, which takes its client's place.
  void Add(const CarriedLink& link, SocketHandle socket);
  // The link of client `client` of Listener `which` has ended: its socket leaves.
  void Remove(int which, const Endpoint& client);
  // Sends what waits, and compacts the carriers that hold sockets of links ended.
  void Flush(Clock::time_point now);

  // Sockets carried now, and waiting to be.
  size_t carried() const { return live_.size(); }
  size_t carriers() const { return carriers_.size(); }
  // Lines to tell on standard error, once each, taken.
  std::vector<std::string> TakeProblems() { return std::exchange(problems_, {}); }

 private:
  static constexpr uint16_t kNowhere = UINT16_MAX;
  struct Carrier {
    SocketCarrier pair;
    size_t number = 0;
    size_t held = 0;      // sockets of live links in it
    size_t stale = 0;     // sockets of links ended, or superseded
    size_t messages = 0;  // in its queue
    bool full = false;    // refused the last message; room again after a compaction
    Clock::time_point compacted{};
  };
  struct Live {
    uint32_t serial;
    uint16_t carrier;  // its index in carriers_, kNowhere while it waits or was not carried
  };
  void Leave(Live& live);
  // Sends up to one message of what waits; false when no carrier could be had (what it
  // looked at is then let go: those links get new ports at a restart).
  bool SendOne();
  void Compact(size_t index, Clock::time_point now);
  // The index of a carrier with room, a new one made when none has; none when none can be.
  std::optional<size_t> Room();

  KeepCarrier keep_;
  std::vector<Carrier> carriers_;
  std::unordered_map<std::string, Live> live_;
  std::vector<std::pair<CarriedLink, SocketHandle>> waiting_;
  uint32_t next_serial_ = 1;
  std::vector<std::string> problems_;
  bool told_failure_ = false;
};

}  // namespace tavorin
