// TFTP through the built relay: tftpd-hpa's in.tftpd behind it, tftp-hpa's tftp and atftp in
// front, on loopback. The server answers every request from a port of its own for the
// transfer, so a file longer than a block comes only with FollowServerPort=1.
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/program_checks.h"
#include "tests/program_runner.h"
#include "tests/udp_peer.h"

namespace tavorin::testing {
namespace {

constexpr char kServer[] = "/usr/sbin/in.tftpd";
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

class Tftp : public ::testing::TestWithParam<TftpCase> {
 protected:
  void SetUp() override {
    if (UnderWine())
      GTEST_SKIP() << "the TFTP tools run on Linux";
    for (const char* tool : {kServer, kTftp, kAtftp}) {
      if (access(tool, X_OK) != 0)
        GTEST_SKIP() << tool << " is missing (tools/need tftpd-hpa tftp-hpa atftp)";
    }
    if (geteuid() != 0)
      GTEST_SKIP() << "in.tftpd --secure changes its root directory, which takes root";
  }
};

TEST_P(Tftp, FilesComeThroughTheRelayByteForByteThreeAtOnce) {
  const TftpCase& row = GetParam();
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
      ToolLaunch(kServer, {"--foreground", "--address", "127.0.0.1:" + std::to_string(server_port),
                           "--user", "nobody", "--secure", files.path()}));
  ASSERT_TRUE(BecomesBound(server, server_port, 10000))
      << "in.tftpd never bound its port: " << server.Errors(0);

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

}  // namespace
}  // namespace tavorin::testing
