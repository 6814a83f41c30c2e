// The settings of the relay, from the settings file in the working directory: the four it
// has always read, and opt-in keys whose defaults keep it as it always was. Every key is one
// row of one table, which drives the reading, the checks, the warnings and the help.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <variant>
#include <vector>

#include "platform/endpoint.h"
#include "platform/ini_file.h"
#include "relay/network_list.h"

namespace tavorin {

inline constexpr char kSettingsFileName[] = "TAVORIN.INI";

// The keys, in the order of the table.
enum class KeyId : uint8_t {
  kProxyPort,
  kProxyIp,
  kLog,
  kMaxDatagram,
  kIdleTimeout,
  kMaxClients,
  kLogLinks,
  kClientRate,
  kStatusAddress,
  kDrainSeconds,
  kAllowClients,
  kProxyProtocolFrom,
  kServerPort,
  kServerIp,
  kRepliesFromServerOnly,
  kFollowServerPort,
  kProxyProtocol,
  kProxyProtocolOnce,
  kTransparent,
  kSilenceSeconds,
  kCount,  // not a key: how many there are
};

struct Settings {
  std::string log;              // log file name, relative to the working directory
  int32_t proxy_port = 0;       // P: the Listeners take P and P + 1
  int32_t server_port = 0;      // S: the server's ports are S and S + 1
  std::string server_host;      // an IPv4 or IPv6 address, or a host name
  uint32_t max_datagram = 0;    // the longest datagram carried, both ways
  uint32_t idle_timeout_s = 0;  // a link idle this long is closed; 0: never
  uint32_t max_clients = 0;     // links per listening port; 0: no limit of the relay's own
  bool log_links = false;       // the log file gets a line per link made and closed
  uint32_t client_rate = 0;     // datagrams a second from one client; 0: no limit
  // A link passes on only what comes from the server's address; else from any host.
  bool replies_from_server_only = false;
  // Each link sends to the port the server's address last answered it from.
  bool follow_server_port = false;
  // 2: every datagram to the server starts with a PROXY protocol version 2 header; 0: none.
  uint32_t proxy_protocol = 0;
  // With proxy_protocol 2: the header ahead of each link's first datagram alone.
  bool proxy_protocol_once = false;
  // The networks whose clients may have links; every client when empty.
  NetworkList allow_clients;
  // The networks of relays in front whose datagrams start with a PROXY protocol v2 header.
  NetworkList proxy_protocol_from;
  // Each link's socket takes its client's address, which the server then sees (Linux).
  bool transparent = false;
  // Seconds the server may answer none of the datagrams sent to it before standard error tells
  // it silent; 0: never.
  uint32_t silence_seconds = 0;
  // The address P and P + 1 are bound to, port 0; by default every local address of both
  // families.
  Endpoint listen_address = EveryAddress(true);
  // Where the status listener (/metrics, /health, /links) takes TCP connections; unknown: none.
  Endpoint status_address;
  // Seconds a stop waits, refusing new clients, for the links held to go idle; 0: none.
  uint32_t drain_seconds = 0;
  // What was wrong with the file, each naming the file, what was found and what is used.
  std::vector<std::string> warnings;
  // What ends the start: a value that may not be taken lightly.
  std::vector<std::string> errors;
  // How many lines of the file the reader could not use (a line with no "=", a section name
  // with no "]", a file cut in the middle of a line, ...); the first few are each told in
  // `warnings` with the line's number. At start the rest of the file is taken all the same;
  // read for a reload, the file gives nothing and every value is the running one.
  size_t unusable_lines = 0;
};

// How a key's value is read.
enum class KeyKind : uint8_t {
  kListenPort,      // a port number, read leniently: junk gives 0, big numbers wrap (P)
  kServerPort,      // the same, for the server (S)
  kListenAddress,   // an address of this host, or none for every address; else the start ends
  kHost,            // an address or a host name, of at most `high` characters
  kText,            // any text, spaces and all, of at most `high` characters
  kNumber,          // a whole number from `low` to `high`, else the default
  kChoice,          // `low` or `high` and nothing between, else the default
  kAddressAndPort,  // an IP address and a port (127.0.0.1:9150, [::1]:9150), or none when empty
  kNetworks,        // networks (relay/network_list.h), none when empty; else the start ends
};

struct Key {
  KeyId id;
  const char* section;
  const char* name;
  const char* fallback;  // as the file would write it
  KeyKind kind;
  uint32_t low;
  uint32_t high;
  bool live;  // may change while the relay runs
  const char* help;
  std::variant<int32_t Settings::*, uint32_t Settings::*, bool Settings::*, std::string Settings::*,
               Endpoint Settings::*, NetworkList Settings::*>
      field;
};

extern const std::array<Key, static_cast<size_t>(KeyId::kCount)> kKeys;

inline const Key& KeyOf(KeyId id) {
  return kKeys[static_cast<size_t>(id)];
}
// "Log in [Proxy]", as every message names a key.
std::string KeyLabel(KeyId id);

// Reads the settings from `file`, which `path` names in the warnings. A missing file, section
// or key gives that key's default; so does a file that cannot be read, and a bad value of a
// key, each with a warning. On a reload (`running` given) a bad value keeps its value in
// `running` instead, unless the start took the same from it; and a file with a line that
// cannot be used gives `running` whole, with `unusable_lines` set and those lines told.
Settings ReadSettings(const IniFile& file, const std::string& path,
                      const Settings* running = nullptr);
inline Settings ReadSettings(const std::string& path) {
  return ReadSettings(IniFile(path), path);
}

// The value `s` holds for a key, as the file would write it ("::" for every address).
std::string ValueText(const Settings& s, KeyId id);
// The same as a line shows it: "(none)" for no value, and a list of networks too long for a
// line as its first few and how many it holds ("10.0.0.0/24 10.0.2.0/24 ... (1000 networks)").
std::string ShownValue(const Settings& s, KeyId id);

// Every key with its default and what it does, a line each, for --help.
std::string KeysHelp();

}  // namespace tavorin
