#include "app/live_settings.h"

#include <chrono>
#include <filesystem>
#include <optional>
#include <system_error>
#include <thread>
#include <utility>

#include "app/number.h"
#include "platform/resolve_host.h"
#include "platform/udp_socket.h"

namespace tavorin {

LiveSettings::LiveSettings(Settings settings, const Endpoint& server_address, PublishedRoute& route,
                           Listener& a, Listener& b, LoopGuard& guard)
    : settings_(std::move(settings)),
      route_(route),
      server_address_(server_address),
      listeners_{&a, &b},
      guard_(guard) {}

void LiveSettings::Servers(Endpoint (&servers)[2]) const {
  servers[0] = server_address_;
  servers[1] = server_address_;
  servers[0].set_port_net(htons(PortOf(settings_.server_port)));
  servers[1].set_port_net(htons(PortOf(NextNumber(settings_.server_port))));
}

void LiveSettings::ApplyRules() {
  Route route;
  route.rules = {std::chrono::seconds(settings_.idle_timeout_s),
                 settings_.max_clients,
                 settings_.client_rate,
                 settings_.replies_from_server_only,
                 settings_.follow_server_port,
                 settings_.allow_clients};
  Endpoint servers[2];
  Servers(servers);
  for (int i = 0; i < 2; ++i)
    route.SetServer(i, servers[i]);
  Publish(route_, route);
  for (Listener* listener : listeners_) {
    listener->KeepLinkRecords(settings_.log_links);
    listener->CountRelayed(settings_.log_links || count_relayed_always_);
  }
}

std::string LiveSettings::FamilyMoveText(bool v6) {
  constexpr auto kMost = std::chrono::seconds(5);
  const uint64_t version = route_.Held().version;
  Listener::FamilyMove total;
  bool told = true;
  for (Listener* listener : listeners_) {
    if (std::optional<Listener::FamilyMove> move = listener->AwaitRoute(version, kMost)) {
      total.kept += move->kept;
      total.closed += move->closed;
    } else {
      told = false;
    }
  }
  const std::string family = v6 ? "IPv6" : "IPv4";
  if (!told)
    return "the links held move to " + family + " at their next datagram";
  std::string text =
      "the links held moved to " + family + ": " + std::to_string(total.kept) + " kept their ports";
  if (total.closed > 0) {
    text += ", " + std::to_string(total.closed) +
            " closed (reason=server-family: a transparent link holds its client's address, or "
            "the port was taken)";
  }
  return text;
}

void LiveSettings::ApplyAtStart() {
  for (Listener* listener : listeners_) {
    listener->SetMaxDatagram(settings_.max_datagram);
    listener->SetListenAddress(settings_.listen_address);
    listener->SetLoopGuard(&guard_);
    listener->SetRoute(&route_, listener == listeners_[0] ? 0 : 1);
    listener->SetProxyHeader(settings_.proxy_protocol == 2, settings_.proxy_protocol_once);
    listener->SetFronts(settings_.proxy_protocol_from);
    listener->SetTransparent(settings_.transparent);
  }
  ApplyRules();
}

bool LiveSettings::ServesItself(const Endpoint& address, int32_t port) const {
  for (uint16_t server_port : {PortOf(port), PortOf(NextNumber(port))}) {
    for (const Listener* listener : listeners_) {
      if (server_port == listener->LocalPort() && IsAddressOfThisHost(address))
        return true;
    }
  }
  return false;
}

std::vector<std::string> LiveSettings::ReloadFile(const std::string& path, Upkeep& upkeep) {
  constexpr char kNothing[] = "; nothing reloaded, the relay runs on as it was";
  // An editor saving the file may have it gone, empty or half written for a moment: a file
  // that is not there, is empty, or reads otherwise a moment later is taken as in the making.
  constexpr auto kSettle = std::chrono::milliseconds(50);
  std::error_code absent;
  if (!std::filesystem::exists(path, absent))
    return {"tavorin: warning: cannot read " + path + ": it is not there" + kNothing};
  const IniFile file(path);
  if (file.problem())
    return {"tavorin: warning: cannot read " + path + ": " + *file.problem() + kNothing};
  if (file.empty())
    return {"tavorin: warning: " + path + " is empty" + kNothing};
  std::this_thread::sleep_for(kSettle);
  if (!file.SameText(IniFile(path)))
    return {"tavorin: warning: " + path + " changed while it was read" + kNothing};
  Settings fresh = ReadSettings(file, path, &settings_);
  if (fresh.unusable_lines == 0)
    return Reload(fresh, path, upkeep);
  std::vector<std::string> lines;
  for (const std::string& warning : fresh.warnings)
    lines.push_back("tavorin: warning: " + warning);
  lines.push_back("tavorin: warning: " + path + " has " + std::to_string(fresh.unusable_lines) +
                  (fresh.unusable_lines == 1 ? " line" : " lines") + " the reader cannot use" +
                  kNothing);
  return lines;
}

std::vector<std::string> LiveSettings::Reload(const Settings& fresh, const std::string& path,
                                              Upkeep& upkeep) {
  Settings next = settings_;
  std::vector<std::string> changed;
  std::vector<std::string> restart;
  std::vector<std::string> kept;
  for (const Key& key : kKeys) {
    const std::string now = ValueText(settings_, key.id);
    const std::string then = ValueText(fresh, key.id);
    if (now == then)
      continue;
    const std::string name = KeyLabel(key.id);
    const std::string shown = ShownValue(settings_, key.id) + " -> " + ShownValue(fresh, key.id);
    if (!key.live) {
      restart.push_back(name + " (" + shown + ")");
    } else {
      std::visit([&](auto field) { next.*field = fresh.*field; }, key.field);
      changed.push_back(name + " " + shown);
    }
  }
  // The server's name is looked up again whether or not it changed: its address may have.
  Endpoint address = server_address_;
  if (std::optional<Endpoint> found = ResolveHost(next.server_host)) {
    address = *found;
    if (!SameAddress(address, server_address_) && next.server_host == settings_.server_host)
      changed.push_back(KeyLabel(KeyId::kServerIp) + " " + next.server_host + " now " +
                        AddressText(address));
  } else {
    kept.push_back(KeyLabel(KeyId::kServerIp) + " " + next.server_host +
                   " does not resolve; the server stays " + AddressText(server_address_));
    next.server_host = settings_.server_host;
  }
  if (ServesItself(address, next.server_port)) {
    kept.push_back("the server " + AddressText(address) + " port " +
                   std::to_string(PortOf(next.server_port)) +
                   " would be this relay's own listening port; the server stays");
    next.server_host = settings_.server_host;
    next.server_port = settings_.server_port;
    address = server_address_;
  }
  const bool moved_family = Unmapped(address).is_v6() != Unmapped(server_address_).is_v6();
  settings_ = std::move(next);
  server_address_ = address;
  ApplyRules();
  if (moved_family)
    changed.push_back(FamilyMoveText(Unmapped(address).is_v6()));
  upkeep.SetLogLinks(settings_.log_links);
  upkeep.SetClientRate(settings_.client_rate);
  upkeep.SetSilenceWindow(std::chrono::seconds(settings_.silence_seconds));

  auto joined = [](const std::vector<std::string>& parts) {
    std::string text;
    for (const std::string& part : parts)
      text += (text.empty() ? "" : ", ") + part;
    return text;
  };
  std::vector<std::string> lines;
  for (const std::string& warning : fresh.warnings)
    lines.push_back("tavorin: warning: " + warning);
  for (const std::string& error : fresh.errors)
    lines.push_back("tavorin: warning: " + error);
  lines.push_back("tavorin: reloaded " + path + ": " +
                  (!changed.empty()  ? joined(changed)
                   : restart.empty() ? std::string("nothing changed")
                                     : std::string("nothing that applies while it runs changed")) +
                  (kept.empty() ? "" : "; " + joined(kept)));
  if (!restart.empty()) {
    lines.push_back("tavorin: warning: " + joined(restart) +
                    (restart.size() == 1 ? " takes" : " take") +
                    " a restart; the relay runs on as it was");
  }
  return lines;
}

}  // namespace tavorin
