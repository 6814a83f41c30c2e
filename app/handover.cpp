#include "app/handover.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <map>
#include <thread>
#include <unordered_map>

#include "app/carried_links.h"
#include "app/counted.h"
#include "platform/resolve_host.h"

namespace tavorin {

namespace {
const char* const kWhich[2] = {"P", "P+1"};

// The address as the name holds it: the usual text, '-' for each ':', and "%" and the scope's
// number after a scoped IPv6 one. An IPv4 address in IPv6 form stays in that form, as the
// link's client was seen.
std::string NameAddress(const Endpoint& e) {
  std::string text = AddressText(e);
  std::replace(text.begin(), text.end(), ':', '-');
  if (e.is_v6() && e.v6.sin6_scope_id != 0) {
    text += '%';
    text += std::to_string(e.v6.sin6_scope_id);
  }
  return text;
}

std::optional<Endpoint> AddressOfName(std::string_view text) {
  const size_t percent = text.find('%');
  std::string address(text.substr(0, percent));
  if (address.find('-') == std::string::npos) {
    std::optional<Endpoint> v4 = ParseAddress(address, false);
    return v4 && !v4->is_v6() ? v4 : std::nullopt;
  }
  // A scope is the number the name was given, never an interface's name.
  if (percent != std::string_view::npos) {
    const std::string_view scope = text.substr(percent + 1);
    if (scope.empty() || scope.find_first_not_of("0123456789") != std::string_view::npos)
      return std::nullopt;
    address += text.substr(percent);
  }
  std::replace(address.begin(), address.end(), '-', ':');
  std::optional<Endpoint> v6 = ParseAddress(address, false);
  return v6 && v6->is_v6() ? v6 : std::nullopt;
}

std::optional<uint16_t> PortOfName(std::string_view text) {
  uint16_t port = 0;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), port);
  if (error != std::errc() || end != text.data() + text.size() || text.empty())
    return std::nullopt;
  return port;
}

std::vector<std::string_view> Fields(std::string_view name) {
  std::vector<std::string_view> fields;
  for (size_t at = 0;;) {
    const size_t underscore = name.find('_', at);
    fields.push_back(name.substr(at, underscore - at));
    if (underscore == std::string_view::npos)
      return fields;
    at = underscore + 1;
  }
}

int WhichOf(std::string_view field) {
  return field == kWhich[0] ? 0 : field == kWhich[1] ? 1 : -1;
}

const char* FateWords(TakenLink::Fate fate) {
  using Fate = TakenLink::Fate;
  switch (fate) {
    case Fate::kPortChanged:
      return "their listening port is not this relay's now";
    case Fate::kServerFamily:
      return "reason=server-family: their sockets cannot reach the server's address family";
    case Fate::kNoLink:
      return "no thread or memory for them";
    case Fate::kTransparency:
      return "Transparent changed: their sockets hold the relay's address or the client's";
    case Fate::kWaiting:
    case Fate::kTaken:
      break;
  }
  return "";
}
}  // namespace

std::string LinkSocketName(int which, uint16_t link_port, const Endpoint& client,
                           const Endpoint& reply_from) {
  std::string name = std::string("link_") + kWhich[which] + "_" + std::to_string(link_port) + "_" +
                     NameAddress(client) + "_" + std::to_string(ntohs(client.port_net()));
  if (reply_from.known()) {
    name += '_';
    name += NameAddress(reply_from);
  }
  return name;
}

std::optional<NamedLink> ParseLinkSocketName(std::string_view name) {
  const std::vector<std::string_view> fields = Fields(name);
  if (fields.size() < 5 || fields.size() > 6 || fields[0] != "link" || WhichOf(fields[1]) < 0 ||
      !PortOfName(fields[2]))
    return std::nullopt;
  NamedLink link{WhichOf(fields[1]), {}, {}, *PortOfName(fields[2])};
  std::optional<Endpoint> client = AddressOfName(fields[3]);
  std::optional<uint16_t> port = PortOfName(fields[4]);
  if (!client || !port)
    return std::nullopt;
  link.client = *client;
  link.client.set_port_net(htons(*port));
  if (fields.size() == 6) {
    std::optional<Endpoint> reply_from = AddressOfName(fields[5]);
    if (!reply_from)
      return std::nullopt;
    link.reply_from = *reply_from;
  }
  return link;
}

namespace {
// The number and end a carrier's name gives; none when it names no carrier.
std::optional<std::pair<size_t, bool>> ParseCarrierName(std::string_view name) {
  const std::vector<std::string_view> fields = Fields(name);
  size_t number = 0;
  if (fields.size() != 3 || fields[0] != "links" || (fields[2] != "in" && fields[2] != "out"))
    return std::nullopt;
  auto [end, error] =
      std::from_chars(fields[1].data(), fields[1].data() + fields[1].size(), number);
  if (error != std::errc() || end != fields[1].data() + fields[1].size() || fields[1].empty() ||
      number > 0xFFFF)
    return std::nullopt;
  return std::make_pair(number, fields[2] == "in");
}

// A link handed on, as its record says, with its socket.
struct Candidate {
  CarriedLink record;
  UdpSocket socket;
  uint64_t identity = 0;
  bool bad = false;
};

// Each socket checked against its record: its port and family what the record says, one
// socket one record, and of several records of one client the newest. What does not match is
// closed and counted.
void CheckCandidates(std::vector<Candidate>& candidates, Handovers& sorted) {
  std::unordered_map<uint64_t, size_t> by_identity;
  std::unordered_map<std::string, size_t> by_client;
  for (size_t k = 0; k < candidates.size(); ++k) {
    Candidate& c = candidates[k];
    if (!c.socket.IsOpen() || c.socket.LocalPort() != c.record.link_port ||
        c.socket.is_v6() != c.record.v6_socket) {
      c.bad = true;
      continue;
    }
    c.identity = c.socket.Identity();
    if (auto [at, added] = by_identity.try_emplace(c.identity, k); !added) {
      Candidate& first = candidates[at->second];
      const bool same = first.record.serial == c.record.serial &&
                        CarriedKey(first.record.which, first.record.client) ==
                            CarriedKey(c.record.which, c.record.client);
      // The same record twice (carried again when the run before ended) is one link; a
      // socket under two records is neither.
      c.socket.Close();
      if (!same) {
        c.bad = true;
        first.bad = true;
      }
      continue;
    }
    const std::string key = CarriedKey(c.record.which, c.record.client);
    if (auto [at, added] = by_client.try_emplace(key, k); !added) {
      // A client's link moved to a new socket: the older record's socket is done with.
      Candidate& other = candidates[at->second];
      Candidate& older = other.record.serial < c.record.serial ? other : c;
      if (&older == &other)
        at->second = k;
      older.socket.Close();
    }
  }
  for (Candidate& c : candidates) {
    if (c.bad) {
      ++sorted.mismatched;
      c.socket.Close();
    } else if (c.socket.IsOpen()) {
      sorted.of[c.record.which].links.push_back(
          {c.record.client, c.record.reply_from, std::move(c.socket), TakenLink::Fate::kWaiting});
    }
  }
}
}  // namespace

Handovers SortPassedSockets(std::vector<PassedSocket> passed) {
  Handovers sorted;
  std::vector<Candidate> candidates;
  std::map<size_t, std::pair<SocketHandle, SocketHandle>> ends;  // in, out
  auto stranger = [&](const std::string& name) {
    sorted.strangers.push_back(name);
    sorted.forget.push_back(name);
  };
  for (PassedSocket& each : passed) {
    if (std::optional<std::pair<size_t, bool>> carrier = ParseCarrierName(each.name)) {
      auto [at, added] = ends.try_emplace(carrier->first, kNoSocket, kNoSocket);
      SocketHandle& end = carrier->second ? at->second.first : at->second.second;
      if (end == kNoSocket) {
        end = each.socket;
        continue;
      }
    }
    UdpSocket socket = UdpSocket::Adopt(each.socket);
    if (!socket.IsOpen()) {
      stranger(each.name);
      continue;
    }
    if (each.name == ListeningSocketName(0) || each.name == ListeningSocketName(1)) {
      const int which = each.name == ListeningSocketName(0) ? 0 : 1;
      if (!sorted.of[which].listening.IsOpen()) {
        sorted.of[which].listening = std::move(socket);
        continue;
      }
    } else if (std::optional<NamedLink> link = ParseLinkSocketName(each.name)) {
      // One name a link: carried from now on, the name forgotten.
      sorted.forget.push_back(each.name);
      CarriedLink record{link->which,     link->client,   link->reply_from,
                         link->link_port, socket.is_v6(), 0};
      candidates.push_back({record, std::move(socket)});
      continue;
    }
    stranger(each.name);
  }
  for (auto& [number, pair] : ends) {
    if (pair.first == kNoSocket || pair.second == kNoSocket) {
      // Half a carrier holds nothing that can come out of it.
      stranger(CarrierName(number, pair.first != kNoSocket));
      UdpSocket::Adopt(pair.first == kNoSocket ? pair.second : pair.first);  // closed
      continue;
    }
    SocketCarrier carrier(pair.first, pair.second);
    CarriedContents contents = TakeAll(carrier);
    for (auto& [record, socket] : contents.links)
      candidates.push_back({record, UdpSocket::Adopt(socket)});
    for (SocketHandle stray : contents.strays) {
      UdpSocket::Adopt(stray);  // closed
      ++sorted.mismatched;
    }
    sorted.carriers.emplace_back(std::move(carrier), number);
  }
  CheckCandidates(candidates, sorted);
  return sorted;
}

void LetGoUnfit(Listener* const (&listeners)[2], const int32_t (&ports)[2], Handovers& handovers,
                SocketStore& store) {
  for (int i = 0; i < 2; ++i) {
    UdpSocket& passed = handovers.of[i].listening;
    if (passed.IsOpen() && !listeners[i]->Fits(passed, ports[i])) {
      passed.Close();
      store.ForgetNow(ListeningSocketName(i));
      handovers.listening_let_go = true;
    }
  }
}

Outcome StartOver(Listener& listener, int which, int32_t port, Handovers& handovers) {
  Outcome started = listener.Start(port, &handovers.of[which]);
  // A listening socket of the previous run that the manager was told to let go may hold the
  // port a moment longer.
  constexpr auto kLetGo = std::chrono::milliseconds(100);
  for (int tries = 0;
       handovers.listening_let_go && !started && started.error() == kAddressInUse && tries < 30;
       ++tries) {
    std::this_thread::sleep_for(kLetGo);
    started = listener.Start(port, &handovers.of[which]);
  }
  return started;
}

std::vector<std::string> TakenOver(Handovers& handovers, SocketStore& store) {
  std::vector<std::string> lines;
  for (auto& [carrier, number] : handovers.carriers)
    store.AdoptCarrier(std::move(carrier), number);
  handovers.carriers.clear();
  if (!handovers.any())
    return lines;
  uint32_t taken = 0;
  uint64_t dropped = 0;
  // How many links were closed for each fate, in the order of the fates.
  constexpr int kFates = static_cast<int>(TakenLink::Fate::kNoLink) + 1;
  uint32_t closed[kFates] = {};
  for (int i = 0; i < 2; ++i) {
    Handover& handover = handovers.of[i];
    dropped += handover.dropped_meanwhile;
    if (!handover.listening_taken)
      store.Forget(ListeningSocketName(i));  // the old port's, before the new one's
    for (TakenLink& link : handover.links) {
      if (link.fate != TakenLink::Fate::kTaken) {
        ++closed[static_cast<int>(link.fate)];
        continue;
      }
      ++taken;
      if (store.enabled())
        store.Carry(i, link.client, link.reply_from, UdpSocket::Duplicate(link.held));
    }
  }
  for (const std::string& name : handovers.forget)
    store.Forget(name);
  std::string line = "tavorin: taken over from the previous run: " +
                     Counted(taken, "link with its port", "links with their ports");
  for (int fate = 0; fate < kFates; ++fate) {
    if (closed[fate] != 0) {
      line += "; " + std::to_string(closed[fate]) + " closed (" +
              FateWords(static_cast<TakenLink::Fate>(fate)) + ")";
    }
  }
  lines.push_back(line);
  if (dropped != 0) {
    lines.push_back("tavorin: the system dropped " + Counted(dropped, "datagram", "datagrams") +
                    " on the listening ports while no relay ran");
  }
  if (handovers.mismatched != 0) {
    lines.push_back("tavorin: warning: closed " + std::to_string(handovers.mismatched) +
                    " passed-in sockets that do not match their records (another port or "
                    "family, one socket under two records, or no record at all)");
  }
  if (!handovers.strangers.empty()) {
    std::string names;
    for (const std::string& name : handovers.strangers)
      names += (names.empty() ? "" : ", ") + name;
    lines.push_back("tavorin: warning: closed " + std::to_string(handovers.strangers.size()) +
                    " passed-in descriptors that are no sockets of this relay's: " + names);
  }
  return lines;
}

}  // namespace tavorin
