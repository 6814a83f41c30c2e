// What the tests of the built relay share: a relay started from a few settings rows in front of
// a server, its console lines, the counts its link log gives, and how the program ended.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/program_runner.h"
#include "tests/udp_peer.h"

namespace tavorin::testing {

// The four console lines.
std::string Lines(int server_port, const std::string& ip, int port);
// A settings file for a relay on `proxy_port` in front of 127.0.0.1:`server_port`.
std::string Ini(uint16_t proxy_port, uint16_t server_port, const std::string& extra = "");

struct PreparedRelay;

// What a test asks of the relay it starts: a few rows of settings beyond the ports, and the
// server, the directory and the start where they are not the usual ones.
struct RelaySetup {
  std::string proxy = {};   // rows of [Proxy] after Port=P
  std::string server = {};  // rows of [Server] after Port=S and IP=
  Launch launch = {};
  bool as_nobody = false;  // when root, runs as user 65534, in a directory of that user's
  uint16_t port = 0;       // P; a pair free just now when 0
  // The server: two sockets held from the start on S and S + 1 of 127.0.0.1 (of ::1 when
  // `v6_server`), or a server of the test's own on `server_port` of `server_ip`.
  int server_port = 0;
  std::string server_ip = {};  // IP= in [Server]; the server's own address when empty
  bool v6_server = false;
  // The whole settings file in place of the rows; when empty, none at all.
  std::optional<std::string> file = {};
  // Runs once the settings are written, before the start.
  std::function<void(const PreparedRelay&)> prepare = {};
  bool read_console = true;  // the four console lines are read and checked at the start
};

// The directory, the settings and the server of a relay, before it starts.
struct PreparedRelay {
  explicit PreparedRelay(const RelaySetup& setup);
  // The sockets held on S and S + 1 (none when the test brings its own server).
  const UdpPeer& server() const { return held.at(0); }
  const UdpPeer& server_next() const { return held.at(1); }
  // The link log's content so far.
  std::string Log() const { return dir.Read("packets.txt").value_or(""); }

  TempDir dir;
  std::vector<UdpPeer> held;
  uint16_t port;         // P
  int server_port;       // S, as the settings give it
  std::string shown_ip;  // the server's address, as the console shows it
  Launch launch;         // the setup's, with the user it runs as
};

// A relay started in a directory of its own from a few settings rows, in front of a server: its
// ports, its server, its process and output. Unless the setup says otherwise, the four console
// lines are read and checked at the start.
class StartedRelay : public PreparedRelay, public RunningProgram {
 public:
  explicit StartedRelay(const RelaySetup& setup = {});
  std::string console;  // the four lines, when read at the start
};

// A datagram from `client` to the relay's `port` reaches `server`, and the server's reply
// comes back to the client from that port.
void ExpectRelayed(const UdpPeer& client, uint16_t port, const UdpPeer& server, unsigned seed);

// What a link or a port carried each way.
struct Transfer {
  uint64_t to_server_datagrams = 0;
  uint64_t to_server_bytes = 0;
  uint64_t to_client_datagrams = 0;
  uint64_t to_client_bytes = 0;
};
// The first line of `log` that holds `part`, a link's closed line or a port's counters line,
// counts `carried`.
void ExpectTransfer(const std::string& log, const std::string& part, const Transfer& carried);

// Whether `text` holds `part`; a failure shows the whole text.
::testing::AssertionResult Contains(const std::string& text, const std::string& part);

// The path of `name` in `dir` as the relay names it (Z:\tmp\...\NAME under Wine).
std::string ShownPath(const TempDir& dir, const std::string& name);

// A row of a parameterised test: named after `name` (RowName), and printed as it.
struct NamedRow {
  std::string name;
};
inline std::ostream& operator<<(std::ostream& out, const NamedRow& row) {
  return out << row.name;
}
struct RowName {
  template <typename Row>
  std::string operator()(const ::testing::TestParamInfo<Row>& row) const {
    return row.param.name;
  }
};

// A TCP port free on 127.0.0.1 just now.
uint16_t FreeTcpPort();
// A socket listening on a TCP port of 127.0.0.1 chosen by the system, for a test to hold.
int ListeningTcpSocket();
// The whole answer of an HTTP GET of `path` to `server`, or empty when none came.
std::string HttpGet(const Endpoint& server, const std::string& path);
// The same of 127.0.0.1:`port`.
inline std::string HttpGet(uint16_t port, const std::string& path) {
  return HttpGet(LoopbackEndpoint(port), path);
}

bool ExitedWith(std::optional<int> status, int code);
// The exit status of a start that no restart mends (settings or rights that cannot work), as
// the manual and the service unit have it; 1 is a start that failed for now.
inline constexpr int kConfigurationStatus = 78;
bool KilledBy(std::optional<int> status, int signal_number);

// Wine's console takes no key events from a pseudo-terminal, so under Wine the relay is ended
// from outside, and what depends on the terminal is left to the runs on Linux (the key rule
// itself is covered by its unit tests on both systems).
inline constexpr char kNoWineConsole[] =
    "under Wine the console takes no keys from a pseudo-terminal";

// Ends the relay with a key, which ends it with status 0 (the key test runs every 500 ms);
// under Wine, from outside.
void EndRelay(RunningProgram& relay);

// How a test starts a server program of its own: `binary` with `arguments`, no terminal.
Launch ToolLaunch(const std::string& binary, std::vector<std::string> arguments);
// Whether within `timeout_ms`, while it runs, `server` has bound UDP `port` of 127.0.0.1: once
// the port can no longer be had.
bool BecomesBound(RunningProgram& server, uint16_t port, int timeout_ms);
// What a program that should be serving has come to, for a failure's message: still running,
// or its exit status or signal, then what it wrote on standard error and standard output.
std::string HowItFares(RunningProgram& program);

// Skips the rest of the test where `condition` holds; `why` says why it cannot run there.
#define SKIP_IF(condition, why) \
  if (!(condition)) {           \
  } else                        \
    GTEST_SKIP() << why

// A generous deadline for the program to end: Wine and the sanitizers start slowly.
inline constexpr int kExitDeadlineMs = 10000;

}  // namespace tavorin::testing
