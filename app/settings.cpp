#include "app/settings.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <optional>
#include <tuple>
#include <vector>

#include "app/number.h"
#include "platform/ini_file.h"
#include "platform/resolve_host.h"
#include "relay/datagram.h"

namespace tavorin {

namespace {
// The longest values taken, terminator included.
constexpr size_t kNameSize = 60;
constexpr size_t kPortSize = 16;
// Room enough that a long value is judged whole, not cut to a number.
constexpr size_t kNumberSize = 64;
// Room enough to tell a value that the reader cuts.
constexpr size_t kLongValueSize = 4096;

bool KnownKey(const char* section, const std::string& key) {
  auto same = [&key](const char* name) {
    return std::equal(key.begin(), key.end(), name, name + std::strlen(name), [](char a, char b) {
      return std::tolower(static_cast<unsigned char>(a)) ==
             std::tolower(static_cast<unsigned char>(b));
    });
  };
  if (section[0] == 'P') {
    for (const char* name : {"Port", "Log", "IP", "MaxDatagram", "IdleTimeout", "MaxClients",
                             "LogLinks", "ClientRate"}) {
      if (same(name))
        return true;
    }
    return false;
  }
  return same("Port") || same("IP") || same("RepliesFromServerOnly");
}
// What no settings file holds as a value: the key is not there. Not white space, which the
// Windows reader strips from a default.
constexpr char kAbsent[] = "\x01";
}  // namespace

Settings ReadSettings(const std::string& path, std::string* problem) {
  const IniFile file(path);
  const std::optional<std::string>& unreadable = file.problem();
  if (unreadable && problem != nullptr) {
    *problem = *unreadable;
  }
  // A file that is there but cannot be read counts as no file.
  auto value = [&](const char* section, const char* key, const char* fallback, size_t size) {
    return file.Value(section, key, fallback, size);
  };
  Settings s;
  s.log = value("Proxy", "Log", "packets.txt", kNameSize);
  s.proxy_port = ParseNumber(value("Proxy", "Port", "15000", kPortSize));
  s.server_port = ParseNumber(value("Server", "Port", "2000", kPortSize));
  s.server_host = value("Server", "IP", "127.0.0.1", kNameSize);

  // The four keys keep their lenient reading, but never in silence.
  auto warn = [&](const char* section, const std::string& found, const std::string& what) {
    s.warnings.push_back(found + " in [" + section + "] of " + path + " " + what);
  };
  auto whole = [&](const char* section, const char* key, const char* fallback) {
    return file.Value(section, key, fallback, kLongValueSize);
  };
  for (auto [section, fallback, number] :
       {std::tuple{"Proxy", "15000", s.proxy_port}, std::tuple{"Server", "2000", s.server_port}}) {
    const std::string text = whole(section, "Port", fallback);
    std::optional<uint32_t> plain = ParseWholeNumber(text);
    if (!plain || *plain > 65535) {
      warn(section, "Port=" + text,
           "is not a port number from 0 to 65535; using port " + std::to_string(PortOf(number)));
    } else if (*plain == 65535) {
      warn(section, "Port=65535",
           std::string("puts the second port on 0, ") +
               (section[0] == 'P' ? "which the system chooses" : "where no server is"));
    }
  }
  if (PortOf(s.proxy_port) == 0) {
    warn("Proxy", "Port=0",
         "lets the system choose the first listening port and puts the second on port 1");
  }
  for (auto [section, key, fallback, taken] :
       {std::tuple{"Proxy", "Log", "packets.txt", &s.log},
        std::tuple{"Server", "IP", "127.0.0.1", &s.server_host}}) {
    const std::string text = whole(section, key, fallback);
    if (text.size() > taken->size()) {
      warn(section, std::string(key) + "=" + text,
           "is longer than " + std::to_string(kNameSize - 1) + " characters; using " + *taken);
    }
  }
  // An address ends at the first white space (the server's is read so by the resolver too);
  // what follows is named, never taken.
  auto address_part = [&](const char* section, const std::string& text) {
    const std::string part = text.substr(0, text.find_first_of(" \t"));
    if (part.size() != text.size())
      warn(section, "IP=" + text, "has text after the address; using " + part);
    return part;
  };
  address_part("Server", s.server_host);
  // A misspelt key would be ignored without a word.
  for (const char* section : {"Proxy", "Server"}) {
    for (const std::string& key : file.Keys(section)) {
      if (!KnownKey(section, key))
        warn(section, key, "is not a key the relay knows; it is ignored");
    }
  }

  // An opt-in key: a whole number from `low` to `high`, else its default.
  auto bounded = [&](const char* key, uint32_t fallback, uint32_t low, uint32_t high,
                     const char* section = "Proxy") {
    std::string text = value(section, key, kAbsent, kNumberSize);
    if (text == kAbsent)
      return fallback;
    std::optional<uint32_t> n = ParseWholeNumber(text);
    if (n && *n >= low && *n <= high)
      return *n;
    const std::string range = high == UINT32_MAX
                                  ? "of " + std::to_string(low) + " or more"
                                  : "from " + std::to_string(low) + " to " + std::to_string(high);
    s.warnings.push_back(std::string(key) + "=" + text + " in [" + section + "] of " + path +
                         " is not a whole number " + range + "; using " + std::to_string(fallback));
    return fallback;
  };
  s.max_datagram = bounded("MaxDatagram", kDefaultMaxDatagram, 1, kLargestDatagram);
  s.idle_timeout_s = bounded("IdleTimeout", 0, 0, UINT32_MAX);
  s.max_clients = bounded("MaxClients", 0, 0, UINT32_MAX);
  s.log_links = bounded("LogLinks", 0, 0, 1) == 1;
  s.client_rate = bounded("ClientRate", 0, 0, UINT32_MAX);
  s.replies_from_server_only = bounded("RepliesFromServerOnly", 0, 0, 1, "Server") == 1;
  if (std::string listen = value("Proxy", "IP", "", kNameSize); !listen.empty()) {
    // Never wider than the address written.
    if (std::optional<Endpoint> address =
            ParseAddress(listen.substr(0, listen.find_first_of(" \t")))) {
      s.listen_address = *address;
      address_part("Proxy", listen);
    } else {
      warn("Proxy", "IP=" + listen,
           "is not an IPv4 or IPv6 address; listening on every local address");
    }
  }
  return s;
}

}  // namespace tavorin
