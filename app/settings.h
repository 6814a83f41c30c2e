// The four settings of the relay, from the settings file in the working directory.
#pragma once

#include <cstdint>
#include <string>

namespace tavorin {

inline constexpr char kSettingsFileName[] = "TAVORIN.INI";

struct Settings {
  std::string log;          // log file name, relative to the working directory
  int32_t proxy_port = 0;   // P: the Listeners take P and P + 1
  int32_t server_port = 0;  // S: the server's ports are S and S + 1
  std::string server_host;  // dotted IPv4 address or host name
};

// Reads the settings file at `path`; a missing file, section or key gives that key's default.
// So does a file that is there but cannot be read, and `problem` (if given) then says why.
Settings ReadSettings(const std::string& path, std::string* problem = nullptr);

}  // namespace tavorin
