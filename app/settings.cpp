#include "app/settings.h"

#include "app/number.h"
#include "platform/profile.h"

namespace tavorin {

namespace {
// The longest values taken, terminator included.
constexpr size_t kNameSize = 60;
constexpr size_t kPortSize = 16;
}  // namespace

Settings ReadSettings(const std::string& path) {
  Settings s;
  s.log = ReadProfileString("Proxy", "Log", "packets.txt", kNameSize, path);
  s.proxy_port = ParseNumber(ReadProfileString("Proxy", "Port", "15000", kPortSize, path));
  s.server_port = ParseNumber(ReadProfileString("Server", "Port", "2000", kPortSize, path));
  s.server_host = ReadProfileString("Server", "IP", "127.0.0.1", kNameSize, path);
  return s;
}

}  // namespace tavorin
