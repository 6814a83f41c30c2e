// What the tests of the built relay share: its console lines, settings files, a directory with
// a server behind it, and the checks that a datagram went both ways and how the program ended.
#pragma once

#include <optional>
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

// A working directory whose settings put a relay on a free port pair in front of a server
// whose two ports are held from the start.
struct RelayDir {
  RelayDir() : RelayDir(BindNeighbours()) {}
  explicit RelayDir(BoundPair servers);
  TempDir dir;
  UdpPeer server;       // S
  UdpPeer server_next;  // S + 1
  uint16_t port = 0;    // P
};

// A datagram from `client` to the relay's `port` reaches `server`, and the server's reply
// comes back to the client from that port.
void ExpectRelayed(const UdpPeer& client, uint16_t port, const UdpPeer& server, unsigned seed);

// Names a parameterised test's row after its `name` field.
struct RowName {
  template <typename Row>
  std::string operator()(const ::testing::TestParamInfo<Row>& row) const {
    return row.param.name;
  }
};

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

// A generous deadline for the program to end: Wine and the sanitizers start slowly.
inline constexpr int kExitDeadlineMs = 10000;

}  // namespace tavorin::testing
