// What AllowClients costs: a look-up in a list of 1,000 networks, a new client judged by it on
// the receive path (let in, and turned away), and a datagram of a link already made, with an
// empty list and with the 1,000 networks. Prints figures; never fails on a time.
//   access_list_bench [ROUNDS]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "relay/listener.h"
#include "relay/network_list.h"
#include "relay/proxy_header.h"
#include "tests/listener_probe.h"

namespace tavorin {
namespace {

using Clock = std::chrono::steady_clock;

double NanosSince(Clock::time_point start, double count) {
  return std::chrono::duration<double, std::nano>(Clock::now() - start).count() / count;
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

Endpoint V4(uint32_t address, uint16_t port) {
  return MakeEndpoint(htonl(address), htons(port));
}

// 1,000 networks, 900 IPv4 /24s in 10.0.0.0/8 and 100 IPv6 /48s in 2001:db8::/32, apart from
// one another so that none merge, written in a shuffled order.
std::string ThousandNetworks() {
  std::vector<std::string> entries;
  for (int i = 0; i < 900; ++i)
    entries.push_back("10." + std::to_string(2 * i / 250) + "." + std::to_string(2 * i % 250) +
                      ".0/24");
  for (int i = 0; i < 100; ++i) {
    char text[32];
    std::snprintf(text, sizeof text, "2001:db8:%x::/48", 2 * i);
    entries.push_back(text);
  }
  std::shuffle(entries.begin(), entries.end(), std::mt19937(7));
  std::string text;
  for (const std::string& entry : entries)
    text += entry + ",";
  return text;
}

// A client of the list (within) or one past it (outside): 10.x.y.z with y even or odd.
Endpoint Client(int i, bool within) {
  const uint32_t net = static_cast<uint32_t>(2 * (i % 900) + (within ? 0 : 1));
  return V4(0x0A000000u | (net / 250) << 16 | (net % 250) << 8 | static_cast<uint32_t>(i % 250),
            static_cast<uint16_t>(1024 + i % 60000));
}

void LookUps(const NetworkList& list, int rounds) {
  constexpr int kLookUps = 1000000;
  std::vector<double> hit;
  std::vector<double> miss;
  int found = 0;
  for (int r = 0; r < rounds; ++r) {
    for (bool within : {true, false}) {
      const auto start = Clock::now();
      for (int i = 0; i < kLookUps; ++i)
        found += list.Contains(Client(i, within)) ? 1 : 0;
      (within ? hit : miss).push_back(NanosSince(start, kLookUps));
    }
  }
  std::printf("look-up in %zu networks: %.0f ns within, %.0f ns outside (%d found)\n", list.size(),
              Median(hit), Median(miss), found);
}

// A new client on the receive path: `clients` new clients, each a datagram; returns the mean
// time per client in microseconds. Links made are closed after the timing.
double NewClients(const NetworkList& list, bool within, int clients, const UdpSocket& server) {
  Listener listener;  // never started: the bench plays the receive thread
  listener.SetServer(server.LocalAddress());
  listener.SetRules({.allow_clients = list});
  const unsigned char payload[64] = {};
  const auto start = Clock::now();
  for (int i = 0; i < clients; ++i)
    ListenerProbe::Relay(listener, payload, sizeof payload, Client(i * 7, within));
  const double us = NanosSince(start, clients) / 1000;
  listener.CloseAll(nullptr);
  return us;
}

// Datagrams of one link already made, in batches of 32 as one receive takes them: nanoseconds a
// datagram.
double LinkDatagrams(const NetworkList& list, const UdpSocket& server) {
  Listener listener;
  listener.SetServer(server.LocalAddress());
  listener.SetRules({.allow_clients = list});
  const Endpoint client = Client(3, true);
  const std::vector<size_t> batch(32, 64);
  ListenerProbe::RelayBatch(listener, {64}, client);  // makes the link
  constexpr int kBatches = 20000;
  const auto start = Clock::now();
  for (int i = 0; i < kBatches; ++i)
    ListenerProbe::RelayBatch(listener, batch, client);
  const double ns = NanosSince(start, kBatches * 32.0);
  listener.CloseAll(nullptr);
  return ns;
}

int Run(int rounds) {
  SocketLibrary library;
  std::string problem;
  const std::string text = ThousandNetworks();
  const auto parse_start = Clock::now();
  const std::optional<NetworkList> thousand = NetworkList::Parse(text, &problem);
  const double parse_us = NanosSince(parse_start, 1) / 1000;
  if (!thousand) {
    std::fprintf(stderr, "access_list_bench: %s\n", problem.c_str());
    return 1;
  }
  std::printf("parsing %zu networks (%zu characters): %.0f us\n", thousand->size(), text.size(),
              parse_us);
  LookUps(*thousand, rounds);

  // The server: a socket nobody reads, whose full buffer the system empties by dropping.
  UdpSocket server;
  if (!server.OpenAndBind(V4(0x7F000001, 0))) {
    std::fprintf(stderr, "access_list_bench: no UDP socket on 127.0.0.1\n");
    return 1;
  }
  const NetworkList none;
  constexpr int kClients = 500;
  std::vector<double> made_none;
  std::vector<double> made_thousand;
  std::vector<double> turned_away;
  std::vector<double> link_none;
  std::vector<double> link_thousand;
  for (int r = 0; r < rounds; ++r) {
    made_none.push_back(NewClients(none, true, kClients, server));
    made_thousand.push_back(NewClients(*thousand, true, kClients, server));
    turned_away.push_back(NewClients(*thousand, false, kClients * 20, server));
    link_none.push_back(LinkDatagrams(none, server));
    link_thousand.push_back(LinkDatagrams(*thousand, server));
  }
  std::printf(
      "new client given a link (socket, thread, first send): %.1f us with no list, "
      "%.1f us within 1,000 networks\n",
      Median(made_none), Median(made_thousand));
  std::printf("new client outside 1,000 networks, turned away: %.2f us\n", Median(turned_away));
  std::printf(
      "datagram of a link already made (batches of 32): %.0f ns with no list, %.0f ns "
      "with 1,000 networks\n",
      Median(link_none), Median(link_thousand));

  // What a relay in front's header costs each of its datagrams: read and taken off.
  const ProxyHeader header = MakeProxyHeader(Client(1, true), V4(0x0A000001, 15000));
  std::vector<unsigned char> datagram(header.bytes, header.bytes + header.length);
  datagram.resize(datagram.size() + 64);
  constexpr int kUnwraps = 1000000;
  size_t carried = 0;
  const auto start = Clock::now();
  for (int i = 0; i < kUnwraps; ++i) {
    if (std::optional<FrontedDatagram> fronted =
            Unwrap(datagram.data(), datagram.size(), V4(0x0A000005, static_cast<uint16_t>(i))))
      carried += fronted->length;
  }
  std::printf("header of a relay in front read and taken off: %.0f ns (%zu bytes carried)\n",
              NanosSince(start, kUnwraps), carried);
  return 0;
}

}  // namespace
}  // namespace tavorin

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
  return tavorin::Run(rounds);
}
