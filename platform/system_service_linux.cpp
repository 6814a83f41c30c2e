// On Linux the service manager is systemd, with the unit tavorin@.service: the Windows
// service's arguments are refused, and the program is never run as a Windows service.
#include <cstdio>

#include "platform/system_service.h"

namespace tavorin {

namespace {
int Refuse() {
  std::fprintf(stderr,
               "tavorin: a Windows service is installed and removed on Windows only; on Linux the "
               "unit tavorin@.service runs the relay as a service (systemctl enable --now "
               "tavorin@NAME)\n");
  return 1;
}
}  // namespace

int InstallService(const std::string&, const std::string&) {
  return Refuse();
}

int UninstallService(const std::string&) {
  return Refuse();
}

std::optional<int> RunAsService(int (*)(), int) {
  return std::nullopt;
}

}  // namespace tavorin
