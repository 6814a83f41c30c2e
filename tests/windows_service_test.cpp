// tavorin.exe as a Windows service: installed, started, stopped and removed through Wine's
// service manager (sc and net), and relaying in between. Only under Wine.
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/program_checks.h"

namespace tavorin::testing {
namespace {

// A Windows program run under Wine to its end: its exit status, and all it wrote.
struct Finished {
  std::optional<int> status;
  std::string output;
};

Finished RunToEnd(const std::string& program, const std::vector<std::string>& arguments) {
  RunningProgram run("/tmp", ToolLaunch(program, arguments));
  std::optional<int> status = run.WaitForExit(60000);
  return {status, run.RestOfOutput(200) + run.Errors(200)};
}

// A Linux path as Windows programs under Wine name it.
std::string WinePath(std::string path) {
  std::replace(path.begin(), path.end(), '/', '\\');
  return "Z:" + path;
}

std::string WithoutCr(std::string text) {
  text.erase(std::remove(text.begin(), text.end(), '\r'), text.end());
  return text;
}

// `sc query NAME`: the state and exit codes the service manager shows.
std::string Query(const std::string& name) {
  return RunToEnd("sc", {"query", name}).output;
}

bool BecomesState(const std::string& name, const std::string& state) {
  return PollUntil(30000, [&] { return Query(name).find(state) != std::string::npos; });
}

// Installed for the test; removed at its end, whatever became of the test.
class InstalledService {
 public:
  InstalledService(const std::string& name, const std::string& directory,
                   const std::string& program)
      : name_(name),
        program_(program),
        installed_(RunToEnd(program, {"--install-service", name, directory})) {}
  ~InstalledService() {
    if (!removed_)
      RunToEnd(program_, {"--uninstall-service", name_});
  }
  InstalledService(const InstalledService&) = delete;
  InstalledService& operator=(const InstalledService&) = delete;

  const Finished& installed() const { return installed_; }
  Finished Remove() {
    removed_ = true;
    return RunToEnd(program_, {"--uninstall-service", name_});
  }

 private:
  std::string name_;
  std::string program_;
  Finished installed_;
  bool removed_ = false;
};

struct ServiceCase : NamedRow {
  bool port_taken;          // the start fails with 1: the relay's port is in use
  int exit_code;            // the service's own, once stopped; 78: its Directory value is no text
  const char* folder = "";  // the program is installed from a copy in this folder of the test's
};

class WindowsService : public ::testing::TestWithParam<ServiceCase> {};

// Installed and started, the relay relays, and a stop from the service manager is the orderly
// stop (every link's closed line and the counters in the log); a start that fails stops the
// service with the program's exit status as its own exit code, the reason in the errors file;
// a service whose directory cannot be read runs nowhere else.
TEST_P(WindowsService, RunsTheRelayUntilTheManagersStop) {
  if (!UnderWine())
    GTEST_SKIP() << "a Windows service runs here under Wine alone";
  // Wine ends the services it runs once no other Windows program is left, as it ends its own:
  // a program that waits for input on its terminal keeps them running for the test.
  RunningProgram keeper("/tmp", {.binary = "find", .arguments = {"x"}});
  PreparedRelay relay({.proxy = "LogLinks=1\n"});
  std::optional<UdpPeer> occupant;
  if (GetParam().port_taken)
    occupant.emplace(relay.port);
  const std::string name = "tavorin-test-" + std::to_string(getpid());
  std::string program = RelayBinary();
  if (*GetParam().folder != '\0') {
    const std::filesystem::path copy = relay.dir.path() + "/" + GetParam().folder + "/tavorin.exe";
    std::filesystem::create_directories(copy.parent_path());
    std::filesystem::copy_file(program, copy);
    program = copy.string();
  }
  InstalledService service(name, WinePath(relay.dir.path()), program);
  ASSERT_TRUE(ExitedWith(service.installed().status, 0)) << service.installed().output;
  EXPECT_NE(service.installed().output.find("installed the service " + name), std::string::npos)
      << service.installed().output;
  // A prefix whose first session has not yet ended loses what is registered meanwhile
  // (tools/wine-prefix waits for it).
  ASSERT_TRUE(ExitedWith(RunToEnd("sc", {"query", name}).status, 0))
      << "the service manager does not know the service just installed";
  const Finished again = RunToEnd(program, {"--install-service", name});
  EXPECT_TRUE(ExitedWith(again.status, 1));
  EXPECT_NE(again.output.find("already installed"), std::string::npos) << again.output;

  if (GetParam().exit_code == 78) {
    RunToEnd("reg", {"add", "HKLM\\SYSTEM\\CurrentControlSet\\Services\\" + name + "\\Parameters",
                     "/v", "Directory", "/t", "REG_DWORD", "/d", "1", "/f"});
  }
  const Finished started = RunToEnd("net", {"start", name});
  EXPECT_TRUE(started.status.has_value()) << started.output;
  if (GetParam().exit_code != 0) {
    ASSERT_TRUE(BecomesState(name, "STOPPED")) << Query(name);
    const std::string shown = Query(name);
    EXPECT_NE(shown.find("WIN32_EXIT_CODE    : 1066"), std::string::npos) << shown;
    EXPECT_NE(shown.find("SERVICE_EXIT_CODE  : " + std::to_string(GetParam().exit_code) + " "),
              std::string::npos)
        << shown;
    const std::string errors = relay.dir.Read("tavorin-errors.txt").value_or("");
    EXPECT_EQ(GetParam().port_taken, Contains(errors, "port " + std::to_string(relay.port) + ": "));
    EXPECT_FALSE(relay.dir.Read("packets.txt").has_value()) << "no log made";
  } else {
    ASSERT_TRUE(BecomesState(name, "RUNNING")) << Query(name);
    EXPECT_EQ(WithoutCr(relay.Log()), Lines(relay.server_port, "127.0.0.1", relay.port))
        << "the console's lines are the log's first, written once the ports are open";
    UdpPeer client;
    ExpectRelayed(client, relay.port, relay.server(), 1);
    ExpectRelayed(client, static_cast<uint16_t>(relay.port + 1), relay.server_next(), 2);
    const Finished stopped = RunToEnd("net", {"stop", name});
    EXPECT_TRUE(ExitedWith(stopped.status, 0)) << stopped.output;
    ASSERT_TRUE(BecomesState(name, "STOPPED")) << Query(name);
    EXPECT_NE(Query(name).find("WIN32_EXIT_CODE    : 0 "), std::string::npos) << Query(name);
    const std::string log = WithoutCr(relay.Log());
    EXPECT_EQ(Occurrences(log, " reason=shutdown "), 2u) << log;
    ExpectTransfer(log, " counters port=" + std::to_string(relay.port) + " ", {1, 101, 1, 520});
    ExpectTransfer(log, " counters port=" + std::to_string(relay.port + 1) + " ", {1, 102, 1, 520});
    const std::string errors = relay.dir.Read("tavorin-errors.txt").value_or("");
    EXPECT_NE(errors.find("tavorin: the service manager's stop: stopping"), std::string::npos)
        << errors;
  }

  const Finished removed = service.Remove();
  EXPECT_TRUE(ExitedWith(removed.status, 0)) << removed.output;
  EXPECT_TRUE(ExitedWith(RunToEnd("sc", {"query", name}).status, 1)) << "no longer known";
  const Finished absent = RunToEnd(program, {"--uninstall-service", name});
  EXPECT_TRUE(ExitedWith(absent.status, 1));
  EXPECT_NE(absent.output.find("no service of that name"), std::string::npos) << absent.output;
}

INSTANTIATE_TEST_SUITE_P(
    Program, WindowsService,
    ::testing::Values(ServiceCase{{"Relays"}, false, 0}, ServiceCase{{"PortInUse"}, true, 1},
                      ServiceCase{{"DirectoryUnreadable"}, false, 78},
                      // Installed from a folder with a space, as Program Files is, and removed.
                      ServiceCase{
                          {"InstalledWhereAPathHasASpace"}, false, 0, "Program Files/tavorin"}),
    RowName());

}  // namespace
}  // namespace tavorin::testing
