// RADIUS through the built relay: freeradius behind it knows two clients by their addresses
// (127.0.0.2 and 127.0.0.3), each with a secret of its own, and radclient sends from each
// (Packet-Src-IP-Address). Only with Transparent=1 does the server see the clients' own
// addresses; without it every request comes from the relay, a client it does not know.
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "tests/program_checks.h"
#include "tests/program_runner.h"
#include "tests/udp_peer.h"

namespace tavorin::testing {
namespace {

constexpr char kServer[] = "/usr/sbin/freeradius";
constexpr char kClient[] = "/usr/bin/radclient";
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

class Radius : public ::testing::TestWithParam<RadiusCase> {
 protected:
  void SetUp() override {
    if (UnderWine())
      GTEST_SKIP() << "freeradius runs on Linux";
    for (const char* tool : {kServer, kClient}) {
      if (access(tool, X_OK) != 0)
        GTEST_SKIP() << tool << " is missing (tools/need freeradius freeradius-utils)";
    }
    if (geteuid() != 0)
      GTEST_SKIP() << "transparent links take CAP_NET_ADMIN, which takes root here";
  }
};

TEST_P(Radius, EachClientIsKnownByItsOwnAddressAndSecret) {
  const RadiusCase& row = GetParam();
  TempDir server_dir;
  const uint16_t server_port = FreePortPair();
  WriteConfiguration(server_dir, server_port);
  RunningProgram server(server_dir.path(),
                        ToolLaunch(kServer, {"-X", "-d", server_dir.File("raddb")}));
  ASSERT_TRUE(BecomesBound(server, server_port, 30000))
      << "freeradius never bound its port: " << server.RestOfOutput(0);

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
        ToolLaunch(kClient, {"-f", dir.File(request), "-r", "2", "-t", "2",
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

}  // namespace
}  // namespace tavorin::testing
