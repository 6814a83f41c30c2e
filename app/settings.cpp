#include "app/settings.h"

#include "app/number.h"
#include "platform/ini_file.h"

namespace tavorin {

namespace {
// The longest values taken, terminator included.
constexpr size_t kNameSize = 60;
constexpr size_t kPortSize = 16;
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
  return s;
}

}  // namespace tavorin
