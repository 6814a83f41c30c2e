#include "app/socket_store.h"

#include <algorithm>
#include <charconv>
#include <utility>

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
  Endpoint e;
  std::string address(text.substr(0, text.find('%')));
  if (address.find('-') == std::string::npos) {
    if (inet_pton(AF_INET, address.c_str(), &e.v4.sin_addr) != 1)
      return std::nullopt;
    e.v4.sin_family = AF_INET;
    return e;
  }
  std::replace(address.begin(), address.end(), '-', ':');
  if (inet_pton(AF_INET6, address.c_str(), &e.v6.sin6_addr) != 1)
    return std::nullopt;
  e.v6.sin6_family = AF_INET6;
  if (const size_t percent = text.find('%'); percent != std::string_view::npos) {
    const std::string_view scope = text.substr(percent + 1);
    uint32_t number = 0;
    auto [end, error] = std::from_chars(scope.data(), scope.data() + scope.size(), number);
    if (error != std::errc() || end != scope.data() + scope.size())
      return std::nullopt;
    e.v6.sin6_scope_id = number;
  }
  return e;
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

const char* FateWords(Listener::TakenLink::Fate fate) {
  using Fate = Listener::TakenLink::Fate;
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

std::string ListeningSocketName(int which) {
  return std::string("listen_") + kWhich[which];
}

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
  NamedLink link{WhichOf(fields[1]), {}, {}};
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

Handovers SortPassedSockets(std::vector<PassedSocket> passed) {
  Handovers sorted;
  for (PassedSocket& each : passed) {
    UdpSocket socket = UdpSocket::Adopt(each.socket);
    if (!socket.IsOpen()) {
      sorted.strangers.push_back(each.name);
      continue;
    }
    if (each.name == ListeningSocketName(0) || each.name == ListeningSocketName(1)) {
      const int which = each.name == ListeningSocketName(0) ? 0 : 1;
      if (!sorted.of[which].listening.IsOpen()) {
        sorted.of[which].listening = std::move(socket);
        continue;
      }
    } else if (std::optional<NamedLink> link = ParseLinkSocketName(each.name)) {
      sorted.of[link->which].links.push_back(
          {link->client, link->reply_from, std::move(socket), Listener::TakenLink::Fate::kWaiting});
      sorted.link_names[link->which].push_back(each.name);
      continue;
    }
    sorted.strangers.push_back(each.name);
  }
  return sorted;
}

SocketStore::~SocketStore() {
  for (Message& message : waiting_)
    UdpSocket::Adopt(message.socket);  // closed
}

void SocketStore::Queue(std::string name, SocketHandle socket) {
  if (!enabled()) {
    UdpSocket::Adopt(socket);
    return;
  }
  waiting_.push_back({std::move(name), socket});
}

void SocketStore::Started(const Listener& listener, int which, bool taken_over) {
  if (!taken_over)
    Queue(ListeningSocketName(which), listener.socket().Duplicate());
}

std::vector<std::string> SocketStore::TakenOver(Handovers& handovers) {
  std::vector<std::string> lines;
  if (!handovers.any())
    return lines;
  uint32_t taken = 0;
  // How many links were closed for each fate, in the order of the fates.
  constexpr int kFates = static_cast<int>(Listener::TakenLink::Fate::kNoLink) + 1;
  uint32_t closed[kFates] = {};
  for (int i = 0; i < 2; ++i) {
    const Listener::Handover& handover = handovers.of[i];
    if (!handover.listening_taken)
      Queue(ListeningSocketName(i), kNoSocket);  // the old port's, before the new one's
    for (size_t k = 0; k < handover.links.size(); ++k) {
      const auto fate = handover.links[k].fate;
      if (fate == Listener::TakenLink::Fate::kTaken) {
        ++taken;
      } else {
        ++closed[static_cast<int>(fate)];
        Queue(handovers.link_names[i][k], kNoSocket);
      }
    }
  }
  for (const std::string& name : handovers.strangers)
    Queue(name, kNoSocket);
  std::string line = "tavorin: taken over from the previous run: " + std::to_string(taken) +
                     (taken == 1 ? " link" : " links") + " with their ports";
  for (int fate = 0; fate < kFates; ++fate) {
    if (closed[fate] != 0) {
      line += "; " + std::to_string(closed[fate]) + " closed (" +
              FateWords(static_cast<Listener::TakenLink::Fate>(fate)) + ")";
    }
  }
  lines.push_back(line);
  if (!handovers.strangers.empty()) {
    std::string names;
    for (const std::string& name : handovers.strangers)
      names += (names.empty() ? "" : ", ") + name;
    lines.push_back("tavorin: warning: closed " + std::to_string(handovers.strangers.size()) +
                    " passed-in descriptors that are no sockets of this relay's: " + names);
  }
  return lines;
}

void SocketStore::Made(int which, const LinkMade& record) {
  if (record.kind == LinkMade::Kind::kTakenOver)
    return;  // the manager has it already
  const std::string name =
      LinkSocketName(which, record.link_port, record.client, record.reply_from);
  if (record.kind == LinkMade::Kind::kMoved)
    Queue(name, kNoSocket);  // the socket of the old family goes first
  if (record.kept != kNoSocket)
    Queue(name, record.kept);
}

void SocketStore::Closed(int which, const ClientLink& link, LinkEnd why) {
  if (why != LinkEnd::kShutdown && enabled())
    Queue(LinkSocketName(which, link.LocalPort(), link.client(), link.reply_from()), kNoSocket);
}

void SocketStore::Send() {
  while (!waiting_.empty()) {
    Message& next = waiting_.front();
    const bool sent = next.socket == kNoSocket ? service_.ForgetSocket(next.name)
                                               : service_.StoreSocket(next.socket, next.name);
    if (!sent)
      return;
    if (next.socket != kNoSocket)
      UdpSocket::Adopt(next.socket);  // closed: the manager has its own now
    waiting_.pop_front();
  }
}

}  // namespace tavorin
