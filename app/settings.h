// The settings of the relay, from the settings file in the working directory: the four it
// has always read, and opt-in keys whose defaults keep it as it always was.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/endpoint.h"

namespace tavorin {

inline constexpr char kSettingsFileName[] = "TAVORIN.INI";

struct Settings {
  std::string log;              // log file name, relative to the working directory
  int32_t proxy_port = 0;       // P: the Listeners take P and P + 1
  int32_t server_port = 0;      // S: the server's ports are S and S + 1
  std::string server_host;      // an IPv4 or IPv6 address, or a host name
  size_t max_datagram = 0;      // the longest datagram carried, both ways
  uint32_t idle_timeout_s = 0;  // a link idle this long is closed; 0: never
  uint32_t max_clients = 0;     // links per listening port; 0: no limit of the relay's own
  bool log_links = false;       // the log file gets a line per link made and closed
  uint32_t client_rate = 0;     // datagrams a second from one client; 0: no limit
  // A link passes on only what comes from the server's address; else from any host.
  bool replies_from_server_only = false;
  // The address P and P + 1 are bound to, port 0; by default every local address of both
  // families.
  Endpoint listen_address = EveryAddress(true);
  // Values of the opt-in keys that could not be taken, each naming the key, the value and the
  // default used instead.
  std::vector<std::string> warnings;
};

// Reads the settings file at `path`; a missing file, section or key gives that key's default.
// So does a file that is there but cannot be read, and `problem` (if given) then says why, and
// so does a bad value of an opt-in key, with a warning.
Settings ReadSettings(const std::string& path, std::string* problem = nullptr);

}  // namespace tavorin
