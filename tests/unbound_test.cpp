// ProxyProtocol=2 in front of a real unbound on loopback, which reads the header on its port
// (proxy-protocol-port) and takes the client's address from it: for its access control, for
// its log, and for whether it answers at all (a datagram without the header is dropped).
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/program_checks.h"

namespace tavorin::testing {
namespace {

constexpr char kUnbound[] = "/usr/sbin/unbound";
constexpr char kDig[] = "/usr/bin/dig";
constexpr char kName[] = "probe.tavorin.test";

// An unbound on `port` of 127.0.0.1 that answers kName from its own data, refuses 127.0.0.3
// and logs every query, in `dir`.
std::string UnboundConf(const TempDir& dir, uint16_t port) {
  const std::string p = std::to_string(port);
  return "server:\n  interface: 127.0.0.1@" + p + "\n  proxy-protocol-port: " + p + "\n" +
         "  access-control: 127.0.0.0/8 allow\n  access-control: 127.0.0.3/32 refuse\n"
         "  access-control: ::1/128 allow\n  do-daemonize: no\n  chroot: \"\"\n"
         "  username: \"\"\n  directory: \"" +
         dir.path() +
         "\"\n  pidfile: \"\"\n"
         "  use-syslog: no\n  logfile: \"" +
         dir.File("unbound.log") +
         "\"\n"
         "  log-queries: yes\n  num-threads: 1\n  module-config: \"iterator\"\n"
         "  local-zone: \"tavorin.test.\" static\n"
         "  local-data: \"" +
         kName +
         ". 60 IN A 192.0.2.53\"\n"
         "remote-control:\n  control-enable: no\n";
}

// A query for kName, type A, with `id`: the header asks for recursion, one question.
Bytes Query(uint16_t id) {
  Bytes q = {static_cast<unsigned char>(id >> 8), static_cast<unsigned char>(id), 1, 0, 0, 1};
  q.resize(12);
  std::string name = kName;
  for (size_t at = 0; at <= name.size();) {
    size_t dot = name.find('.', at);
    dot = dot == std::string::npos ? name.size() : dot;
    q.push_back(static_cast<unsigned char>(dot - at));
    q.insert(q.end(), name.begin() + static_cast<std::ptrdiff_t>(at),
             name.begin() + static_cast<std::ptrdiff_t>(dot));
    at = dot + 1;
  }
  q.insert(q.end(), {0, 0, 1, 0, 1});
  return q;
}

struct UnboundRow : NamedRow {
  bool proxy_protocol;
  std::string client;  // the address the query comes from
  int queries;         // from dig (1), or from one endpoint of the test's own (more)
  std::string status;  // dig's: NOERROR, REFUSED, or none for no answer at all
  std::string logged;  // in unbound's log of queries, when not empty
};

class ProxyProtocolUnbound : public ::testing::TestWithParam<UnboundRow> {};

TEST_P(ProxyProtocolUnbound, TellsTheServerWhoAsked) {
  const UnboundRow& row = GetParam();
  if (UnderWine() || access(kUnbound, X_OK) != 0 || access(kDig, X_OK) != 0)
    GTEST_SKIP() << "needs unbound and dig on this host (tools/need unbound dnsutils)";
  TempDir dir;
  const uint16_t unbound_port = FreePortPair();
  dir.Write("unbound.conf", UnboundConf(dir, unbound_port));
  RunningProgram unbound(dir.path(), ToolLaunch(kUnbound, {"-d", "-c", dir.File("unbound.conf")}));
  ASSERT_TRUE(dir.Holds("unbound.log", "start of service")) << unbound.Errors();

  StartedRelay relay({.server = row.proxy_protocol ? "ProxyProtocol=2\n" : "ProxyProtocol=0\n",
                      .server_port = unbound_port});
  const uint16_t port = relay.port;

  const bool v6 = row.client.find(':') != std::string::npos;
  if (row.queries == 1) {
    RunningProgram query(
        dir.path(), ToolLaunch(kDig, {v6 ? "@::1" : "@127.0.0.1", "-p", std::to_string(port), "-b",
                                      row.client, kName, "A", "+tries=1", "+time=3"}));
    const std::string answer = query.RestOfOutput(10000);
    if (row.status.empty()) {
      EXPECT_EQ(answer.find("status:"), std::string::npos) << answer;
    } else {
      EXPECT_TRUE(Contains(answer, "status: " + row.status));
    }
    if (row.status == "NOERROR") {
      EXPECT_TRUE(Contains(answer, "192.0.2.53"));
    }
  } else {
    // One endpoint throughout: one link, whose header goes ahead of every query.
    UdpPeer client(LoopbackEndpoint(0, 2));
    for (int i = 0; i < row.queries; ++i) {
      const uint16_t id = static_cast<uint16_t>(0x5100 + i);
      client.SendTo(Query(id), port);
      auto reply = client.Receive(5000);
      ASSERT_TRUE(reply.has_value()) << "no answer to query " << i;
      ASSERT_GE(reply->data.size(), 12u);
      EXPECT_EQ(reply->data[0] << 8 | reply->data[1], id);
      EXPECT_EQ(reply->data[3] & 0x0F, 0) << "NOERROR";
      EXPECT_EQ(reply->data[6] << 8 | reply->data[7], 1) << "one answer";
    }
  }
  if (!row.logged.empty()) {
    EXPECT_TRUE(dir.Holds("unbound.log", row.logged + " " + kName + ". A IN", row.queries))
        << dir.Read("unbound.log").value_or("");
  }
  EndRelay(relay);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, ProxyProtocolUnbound,
    ::testing::Values(
        UnboundRow{"Ipv4ClientAnsweredAndLogged", true, "127.0.0.2", 1, "NOERROR", "127.0.0.2"},
        UnboundRow{"RefusedByTheServersOwnRule", true, "127.0.0.3", 1, "REFUSED", ""},
        UnboundRow{"TwentyFromOneEndpointAllAnswered", true, "127.0.0.2", 20, "NOERROR",
                   "127.0.0.2"},
        UnboundRow{"Ipv6ClientAnsweredAndLoggedAsIpv6", true, "::1", 1, "NOERROR", "::1"},
        // unbound drops what comes to its port without the header.
        UnboundRow{"WithoutTheHeaderNoAnswer", false, "127.0.0.2", 1, "", ""}),
    RowName());

}  // namespace
}  // namespace tavorin::testing
