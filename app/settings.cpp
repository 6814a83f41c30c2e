#include "app/settings.h"

#include "app/number.h"
#include "platform/ini_file.h"
#include "relay/datagram.h"

namespace tavorin {

namespace {
// The longest values taken, terminator included.
constexpr size_t kNameSize = 60;
constexpr size_t kPortSize = 16;
// Room enough that a long value is judged whole, not cut to a number.
constexpr size_t kNumberSize = 64;
// What no settings file holds as a value: the key is not there. Not white space, which the
// Windows reader strips from a default.
constexpr char kAbsent[] = "\x01";
}  // namespace

Settings ReadSettings(const std::string& path, std::string* problem) {
  std::optional<std::string> unreadable = IniFileProblem(path);
  if (unreadable && problem != nullptr) {
    *problem = *unreadable;
  }
  // A file that is there but cannot be read counts as no file.
  auto value = [&](const char* section, const char* key, const char* fallback, size_t size) {
    return unreadable ? std::string(fallback) : ReadIniValue(section, key, fallback, size, path);
  };
  Settings s;
  s.log = value("Proxy", "Log", "packets.txt", kNameSize);
  s.proxy_port = ParseNumber(value("Proxy", "Port", "15000", kPortSize));
  s.server_port = ParseNumber(value("Server", "Port", "2000", kPortSize));
  s.server_host = value("Server", "IP", "127.0.0.1", kNameSize);

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
  return s;
}

}  // namespace tavorin
