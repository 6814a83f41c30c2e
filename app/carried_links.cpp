#include "app/carried_links.h"

#include <algorithm>
#include <cstring>

namespace tavorin {

namespace {
constexpr unsigned char kFormat = 1;

// Family byte: 4, 6, or 0 for no address.
unsigned char FamilyByte(const Endpoint& e) {
  return !e.known() ? 0 : e.is_v6() ? 6 : 4;
}

void PutAddress(const Endpoint& e, unsigned char* address, unsigned char* scope) {
  if (e.is_v6()) {
    std::memcpy(address, &e.v6.sin6_addr, 16);
    std::memcpy(scope, &e.v6.sin6_scope_id, 4);
  } else if (e.known()) {
    std::memcpy(address, &e.v4.sin_addr, 4);
  }
}

std::optional<Endpoint> GetAddress(unsigned char family, const unsigned char* address,
                                   const unsigned char* scope) {
  Endpoint e;
  if (family == 6) {
    e.v6.sin6_family = AF_INET6;
    std::memcpy(&e.v6.sin6_addr, address, 16);
    std::memcpy(&e.v6.sin6_scope_id, scope, 4);
  } else if (family == 4) {
    e.v4.sin_family = AF_INET;
    std::memcpy(&e.v4.sin_addr, address, 4);
  } else if (family != 0) {
    return std::nullopt;
  }
  return e;
}

}  // namespace

// 0 format, 1 which, 2 client family, 3 reply_from family, 4 socket of IPv6, 6 link port (host
// order: the next run is on this host), 8 client port (network order), 12 serial, 16 client
// scope, 20 reply_from scope, 24 client address, 40 reply_from address, 56 none.
void EncodeCarried(const CarriedLink& link, unsigned char* out) {
  std::memset(out, 0, kCarriedRecordBytes);
  out[0] = kFormat;
  out[1] = static_cast<unsigned char>(link.which);
  out[2] = FamilyByte(link.client);
  out[3] = FamilyByte(link.reply_from);
  out[4] = link.v6_socket ? 1 : 0;
  std::memcpy(out + 6, &link.link_port, 2);
  const uint16_t client_port = link.client.port_net();
  std::memcpy(out + 8, &client_port, 2);
  std::memcpy(out + 12, &link.serial, 4);
  PutAddress(link.client, out + 24, out + 16);
  PutAddress(link.reply_from, out + 40, out + 20);
}

std::optional<CarriedLink> DecodeCarried(const unsigned char* in) {
  if (in[0] != kFormat || in[1] > 1 || in[2] == 0 || in[4] > 1)
    return std::nullopt;
  CarriedLink link;
  link.which = in[1];
  std::optional<Endpoint> client = GetAddress(in[2], in + 24, in + 16);
  std::optional<Endpoint> reply_from = GetAddress(in[3], in + 40, in + 20);
  if (!client || !reply_from)
    return std::nullopt;
  link.client = *client;
  link.reply_from = *reply_from;
  uint16_t client_port;
  std::memcpy(&client_port, in + 8, 2);
  link.client.set_port_net(client_port);
  link.v6_socket = in[4] == 1;
  std::memcpy(&link.link_port, in + 6, 2);
  std::memcpy(&link.serial, in + 12, 4);
  return link;
}

CarriedContents TakeAll(const SocketCarrier& carrier) {
  CarriedContents contents;
  std::vector<unsigned char> bytes(SocketCarrier::kMostPerMessage * kCarriedRecordBytes);
  SocketCarrier::Message message;
  while (carrier.Receive(bytes.data(), bytes.size(), message)) {
    const size_t records = message.length / kCarriedRecordBytes;
    size_t k = 0;
    for (; k < records; ++k) {
      std::optional<CarriedLink> link = DecodeCarried(bytes.data() + k * kCarriedRecordBytes);
      const SocketHandle socket = k < message.sockets.size() ? message.sockets[k] : kNoSocket;
      if (link) {
        contents.links.emplace_back(*link, socket);
      } else if (socket != kNoSocket) {
        contents.strays.push_back(socket);
      }
    }
    for (; k < message.sockets.size(); ++k)
      contents.strays.push_back(message.sockets[k]);
  }
  return contents;
}

CarriedLinks::~CarriedLinks() {
  for (auto& [link, socket] : waiting_)
    UdpSocket::Adopt(socket);  // closed
}

std::string CarriedKey(int which, const Endpoint& client) {
  std::string key(1 + 1 + 16 + 2, '\0');
  key[0] = static_cast<char>(which);
  key[1] = static_cast<char>(FamilyByte(client));
  unsigned char scope[4];
  PutAddress(client, reinterpret_cast<unsigned char*>(key.data()) + 2, scope);
  const uint16_t port = client.port_net();
  std::memcpy(key.data() + 18, &port, 2);
  return key;
}

void CarriedLinks::Adopt(SocketCarrier carrier, size_t number) {
  Carrier adopted;
  adopted.pair = std::move(carrier);
  adopted.number = number;
  carriers_.push_back(std::move(adopted));
}

void CarriedLinks::Leave(Live& live) {
  if (live.carrier == kNowhere)
    return;
  Carrier& carrier = carriers_[live.carrier];
  --carrier.held;
  ++carrier.stale;
  live.carrier = kNowhere;
}

void CarriedLinks::Add(const CarriedLink& link, SocketHandle socket) {
  CarriedLink carried = link;
  carried.serial = next_serial_++;
  auto [at, added] =
      live_.try_emplace(CarriedKey(link.which, link.client), Live{carried.serial, kNowhere});
  if (!added) {
    Leave(at->second);
    at->second = Live{carried.serial, kNowhere};
  }
  waiting_.emplace_back(carried, socket);
  // A second descriptor each is what waits costs: a full message's worth goes at once.
  if (waiting_.size() >= SocketCarrier::kMostPerMessage)
    SendOne();
}

void CarriedLinks::Remove(int which, const Endpoint& client) {
  auto at = live_.find(CarriedKey(which, client));
  if (at == live_.end())
    return;
  Leave(at->second);
  live_.erase(at);
}

std::optional<size_t> CarriedLinks::Room() {
  for (size_t k = 0; k < carriers_.size(); ++k) {
    if (!carriers_[k].full)
      return k;
  }
  if (carriers_.size() >= kNowhere)
    return std::nullopt;
  Carrier made;
  if (const int error = SocketCarrier::Make(made.pair); error != 0) {
    if (!told_failure_) {
      problems_.push_back("tavorin: warning: cannot make a carrier for the sockets of new links: " +
                          ErrorText(error) + "; they get new ports at a restart");
      told_failure_ = true;
    }
    return std::nullopt;
  }
  // Numbers go on from the highest handed on, so no two carriers share a name.
  made.number = 0;
  for (const Carrier& carrier : carriers_)
    made.number = std::max(made.number, carrier.number + 1);
  keep_(made.pair, made.number);
  carriers_.push_back(std::move(made));
  return carriers_.size() - 1;
}

bool CarriedLinks::SendOne() {
  // The next message's worth of what waits; what ended before it went is let go here.
  std::vector<size_t> picked;
  size_t looked = 0;
  for (; looked < waiting_.size() && picked.size() < SocketCarrier::kMostPerMessage; ++looked) {
    auto& [link, socket] = waiting_[looked];
    auto at = live_.find(CarriedKey(link.which, link.client));
    if (at == live_.end() || at->second.serial != link.serial || socket == kNoSocket) {
      UdpSocket::Adopt(std::exchange(socket, kNoSocket));  // closed
    } else {
      picked.push_back(looked);
    }
  }
  std::vector<unsigned char> bytes(picked.size() * kCarriedRecordBytes);
  std::vector<SocketHandle> sockets;
  for (size_t k = 0; k < picked.size(); ++k) {
    EncodeCarried(waiting_[picked[k]].first, bytes.data() + k * kCarriedRecordBytes);
    sockets.push_back(waiting_[picked[k]].second);
  }
  int result = 0;
  std::optional<size_t> into;
  while (!picked.empty()) {
    into = Room();
    if (!into) {
      // No carrier to be had: a second descriptor of each waiting would only pile up.
      for (SocketHandle socket : sockets)
        UdpSocket::Adopt(socket);  // closed
      waiting_.erase(waiting_.begin(), waiting_.begin() + static_cast<std::ptrdiff_t>(looked));
      return false;
    }
    result = carriers_[*into].pair.Send(bytes.data(), bytes.size(), sockets.data(), sockets.size());
    if (result != SocketCarrier::kFull)
      break;
    carriers_[*into].full = true;
  }
  if (!picked.empty() && result != 0) {
    // The system will not take them (too many sockets in flight for the user, say): these
    // links get new ports at a restart.
    if (!told_failure_) {
      problems_.push_back("tavorin: warning: cannot carry the sockets of " +
                          std::to_string(picked.size()) +
                          " links to the next run: " + ErrorText(result) +
                          "; they get new ports at a restart (see LimitNOFILE in the manual)");
      told_failure_ = true;
    }
  } else if (!picked.empty()) {
    Carrier& carrier = carriers_[*into];
    ++carrier.messages;
    carrier.held += picked.size();
    for (size_t k : picked) {
      const CarriedLink& link = waiting_[k].first;
      live_[CarriedKey(link.which, link.client)].carrier = static_cast<uint16_t>(*into);
    }
  }
  for (SocketHandle socket : sockets)
    UdpSocket::Adopt(socket);  // closed: the carrier has its own
  waiting_.erase(waiting_.begin(), waiting_.begin() + static_cast<std::ptrdiff_t>(looked));
  return true;
}

void CarriedLinks::Compact(size_t index, Clock::time_point now) {
  // A carrier may be made meanwhile (SendOne), which moves them all.
  const size_t messages = carriers_[index].messages;
  {
    Carrier& carrier = carriers_[index];
    carrier.messages = 0;
    carrier.held = 0;
    carrier.stale = 0;
    carrier.full = false;
    carrier.compacted = now;
  }
  std::vector<unsigned char> bytes(SocketCarrier::kMostPerMessage * kCarriedRecordBytes);
  SocketCarrier::Message message;
  for (size_t m = 0;
       m < messages && carriers_[index].pair.Receive(bytes.data(), bytes.size(), message); ++m) {
    const size_t records = std::min(message.length / kCarriedRecordBytes, message.sockets.size());
    for (size_t k = 0; k < records; ++k) {
      std::optional<CarriedLink> link = DecodeCarried(bytes.data() + k * kCarriedRecordBytes);
      auto at = link ? live_.find(CarriedKey(link->which, link->client)) : live_.end();
      if (at != live_.end() && at->second.serial == link->serial && at->second.carrier == index) {
        // Carried again, in a full message: for the moment only this process holds it.
        at->second.carrier = kNowhere;
        waiting_.emplace_back(*link, message.sockets[k]);
        message.sockets[k] = kNoSocket;
      }
    }
    for (SocketHandle socket : message.sockets) {
      if (socket != kNoSocket)
        UdpSocket::Adopt(socket);  // closed: its link has ended
    }
    while (waiting_.size() >= SocketCarrier::kMostPerMessage && SendOne()) {
    }
  }
}

void CarriedLinks::Flush(Clock::time_point now) {
  for (size_t k = 0; k < carriers_.size(); ++k) {
    const Carrier& carrier = carriers_[k];
    // A carrier whose messages outnumber what full ones would take many times over is
    // compacted too: sockets of links made one at a time come in messages of their own.
    const size_t full_messages = carrier.held / SocketCarrier::kMostPerMessage + 1;
    const bool scattered = carrier.messages > 4 * full_messages + 16;
    if ((carrier.stale != 0 || scattered) && now - carrier.compacted >= kCompactAfter)
      Compact(k, now);
  }
  while (!waiting_.empty() && SendOne()) {
  }
}

}  // namespace tavorin
