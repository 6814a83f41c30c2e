// Servers and clients of other makers through the built relay, on loopback, each where it is
// installed (tools/need installs them).
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "tests/program_checks.h"

namespace tavorin::testing {
namespace {

// Why the tools cannot be run here, if they cannot: under Wine, one of them missing (`need`
// names the packages that bring them), or not root where `root_reason` says why it takes root.
std::optional<std::string> Unavailable(const std::vector<const char*>& tools,
                                       const std::string& need, const char* root_reason = nullptr) {
  if (UnderWine())
    return "the tools run on Linux";
  for (const char* tool : tools) {
    if (access(tool, X_OK) != 0)
      return std::string(tool) + " is missing (tools/need " + need + ")";
  }
  if (root_reason != nullptr && geteuid() != 0)
    return root_reason;
  return std::nullopt;
}

// TFTP through the built relay: tftpd-hpa's in.tftpd behind it, tftp-hpa's tftp and atftp in
// front, on loopback. The server answers every request from a port of its own for the
// transfer, so a file longer than a block comes only with FollowServerPort=1.
constexpr char kTftpd[] = "/usr/sbin/in.tftpd";
constexpr char kTftp[] = "/usr/bin/tftp";
constexpr char kAtftp[] = "/usr/bin/atftp";
// A transfer of 200,000 bytes over loopback takes well under a second; the sanitizers and a
// busy host are given plenty more.
constexpr int kTransferDeadlineMs = 60000;

struct TftpFile {
  std::string name;
  size_t size;
};

struct TftpCase : NamedRow {
  std::string extra;  // in [Server]
  std::vector<TftpFile> files;
};

class Tftp : public ::testing::TestWithParam<TftpCase> {};

TEST_P(Tftp, FilesComeThroughTheRelayByteForByteThreeAtOnce) {
  const TftpCase& row = GetParam();
  if (const auto why =
          Unavailable({kTftpd, kTftp, kAtftp}, "tftpd-hpa tftp-hpa atftp",
                      "in.tftpd --secure changes its root directory, which takes root"))
    GTEST_SKIP() << *why;
  // The server's files, readable by the user it runs as.
  TempDir files;
  ASSERT_EQ(chmod(files.path().c_str(), 0755), 0);
  for (const TftpFile& file : row.files) {
    const Bytes content = Pattern(file.size, static_cast<unsigned>(file.size));
    files.Write(file.name, std::string(content.begin(), content.end()));
    ASSERT_EQ(chmod(files.File(file.name).c_str(), 0644), 0);
  }

  const uint16_t server_port = FreePortPair();
  RunningProgram server(
      files.path(),
      ToolLaunch(kTftpd, {"--foreground", "--address", "127.0.0.1:" + std::to_string(server_port),
                          "--user", "nobody", "--secure", files.path()}));
  ASSERT_TRUE(BecomesBound(server, server_port, 10000))
      << "in.tftpd never bound its port: " << HowItFares(server);

  StartedRelay relay({.proxy = "LogLinks=1\n", .server = row.extra, .server_port = server_port});
  const TempDir& dir = relay.dir;
  const std::string port = std::to_string(relay.port);

  // Every file with both clients, all at once.
  struct Fetch {
    std::string out;
    size_t size;
    std::unique_ptr<RunningProgram> client;
  };
  std::vector<Fetch> fetches;
  for (const TftpFile& file : row.files) {
    const std::string by_tftp = "tftp-" + file.name;
    const std::string by_atftp = "atftp-" + file.name;
    fetches.push_back({by_tftp, file.size,
                       std::make_unique<RunningProgram>(
                           dir.path(), ToolLaunch(kTftp, {"-m", "binary", "127.0.0.1", port, "-c",
                                                          "get", file.name, by_tftp}))});
    fetches.push_back({by_atftp, file.size,
                       std::make_unique<RunningProgram>(
                           dir.path(), ToolLaunch(kAtftp, {"-g", "-r", file.name, "-l", by_atftp,
                                                           "127.0.0.1", port}))});
  }
  for (Fetch& fetch : fetches) {
    const std::optional<int> status = fetch.client->WaitForExit(kTransferDeadlineMs);
    EXPECT_TRUE(ExitedWith(status, 0))
        << fetch.out << ": " << fetch.client->RestOfOutput(0) << fetch.client->Errors(0);
    const Bytes expected = Pattern(fetch.size, static_cast<unsigned>(fetch.size));
    const std::optional<std::string> got = dir.Read(fetch.out);
    EXPECT_TRUE(got == std::string(expected.begin(), expected.end()))
        << fetch.out << ": "
        << (got ? std::to_string(got->size()) + " bytes, not those sent" : "none");
  }

  EndRelay(relay);
  // Each link names the port it last sent to: a transfer's port, not the server's, for a file
  // of more than one block.
  const std::string log = relay.Log();
  const bool following = row.extra.find("FollowServerPort=1") != std::string::npos;
  EXPECT_EQ(log.find(" server_port=" + std::to_string(server_port) + "\n") == std::string::npos,
            following)
      << log;
}

INSTANTIATE_TEST_SUITE_P(
    Tools, Tftp,
    ::testing::Values(TftpCase{"FollowingTheServersPort",
                               "FollowServerPort=1\n",
                               {{"one-block", 300}, {"ten-blocks", 5000}, {"large", 200000}}},
                      TftpCase{"WithoutTheKeyOneBlockStillComes", "", {{"one-block", 300}}}),
    RowName());

// RADIUS through the built relay: freeradius behind it knows two clients by their addresses
// (127.0.0.2 and 127.0.0.3), each with a secret of its own, and radclient sends from each
// (Packet-Src-IP-Address). Only with Transparent=1 does the server see the clients' own
// addresses; without it every request comes from the relay, a client it does not know.
constexpr char kFreeradius[] = "/usr/sbin/freeradius";
constexpr char kRadclient[] = "/usr/bin/radclient";
constexpr char kConfiguration[] = "/etc/freeradius/3.0";

struct RadiusCase : NamedRow {
  std::string extra;  // in [Server]
  bool accepted;
};

// The packaged configuration with the two clients, one user, and one site of its own on
// 127.0.0.1:`port` (the packaged sites listen on fixed ports), run as root.
void WriteConfiguration(const TempDir& dir, uint16_t port) {
  namespace fs = std::filesystem;
  const std::string raddb = dir.File("raddb");
  fs::copy(kConfiguration, raddb, fs::copy_options::recursive | fs::copy_options::copy_symlinks);
  for (const fs::directory_entry& site : fs::directory_iterator(raddb + "/sites-enabled"))
    fs::remove(site.path());
  fs::remove(raddb + "/mods-enabled/eap");  // it needs the inner tunnel's site
  std::string main = dir.Read("raddb/radiusd.conf").value_or("");
  for (const char* line : {"\tuser = freerad", "\tgroup = freerad"}) {
    const size_t at = main.find(line);
    ASSERT_NE(at, std::string::npos) << line;
    main.insert(at + 1, 1, '#');
  }
  dir.Write("raddb/radiusd.conf", main);
  dir.Write("raddb/clients.conf",
            "client second {\n\tipaddr = 127.0.0.2\n\tsecret = secret-two\n}\n"
            "client third {\n\tipaddr = 127.0.0.3\n\tsecret = secret-three\n}\n");
  dir.Write("raddb/mods-config/files/authorize", "alice Cleartext-Password := \"wonderland\"\n");
  dir.Write("raddb/sites-enabled/relayed",
            "server relayed {\n\tlisten {\n\t\ttype = auth\n\t\tipaddr = 127.0.0.1\n\t\tport = " +
                std::to_string(port) +
                "\n\t}\n\tauthorize {\n\t\tfiles\n\t\tpap\n\t}\n"
                "\tauthenticate {\n\t\tAuth-Type PAP {\n\t\t\tpap\n\t\t}\n\t}\n"
                "\tpost-auth {\n\t}\n}\n");
}

class Radius : public ::testing::TestWithParam<RadiusCase> {};

TEST_P(Radius, EachClientIsKnownByItsOwnAddressAndSecret) {
  const RadiusCase& row = GetParam();
  if (const auto why = Unavailable({kFreeradius, kRadclient}, "freeradius freeradius-utils",
                                   "transparent links take CAP_NET_ADMIN, which takes root here"))
    GTEST_SKIP() << *why;
  TempDir server_dir;
  const uint16_t server_port = FreePortPair();
  WriteConfiguration(server_dir, server_port);
  RunningProgram server(server_dir.path(),
                        ToolLaunch(kFreeradius, {"-X", "-d", server_dir.File("raddb")}));
  ASSERT_TRUE(BecomesBound(server, server_port, 30000))
      << "freeradius never bound its port: " << HowItFares(server);

  StartedRelay relay({.server = row.extra, .server_port = server_port});
  const TempDir& dir = relay.dir;

  for (const auto& [host, secret] : {std::pair<int, const char*>{2, "secret-two"},
                                     std::pair<int, const char*>{3, "secret-three"}}) {
    const std::string request = "request-" + std::to_string(host);
    dir.Write(request,
              "User-Name = alice, User-Password = wonderland, "
              "Packet-Src-IP-Address = 127.0.0." +
                  std::to_string(host) + "\n");
    RunningProgram client(
        dir.path(),
        ToolLaunch(kRadclient, {"-f", dir.File(request), "-r", "2", "-t", "2",
                                "127.0.0.1:" + std::to_string(relay.port), "auth", secret}));
    const std::optional<int> status = client.WaitForExit(30000);
    const std::string said = client.RestOfOutput(0) + client.Errors(0);
    EXPECT_EQ(ExitedWith(status, 0), row.accepted) << "127.0.0." << host << ": " << said;
    EXPECT_EQ(said.find("Received Access-Accept") != std::string::npos, row.accepted)
        << "127.0.0." << host << ": " << said;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Program, Radius,
    ::testing::Values(RadiusCase{"TransparentLinksAreAccepted", "Transparent=1\n", true},
                      RadiusCase{"WithoutTheServerKnowsOnlyTheRelay", "", false}),
    RowName());

// ProxyProtocol=2 in front of a real unbound on loopback, which reads the header on its port
// (proxy-protocol-port) and takes the client's address from it: for its access control, for
// its log, and for whether it answers at all (a datagram without the header is dropped).
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
  if (const auto why = Unavailable({kUnbound, kDig}, "unbound dnsutils"))
    GTEST_SKIP() << *why;
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
