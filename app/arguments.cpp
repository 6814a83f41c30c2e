#include "app/arguments.h"

#include <cstdio>
#include <string>

#include "app/program.h"
#include "app/settings.h"
#include "platform/system_service.h"

namespace tavorin {

std::optional<int> AnswerArguments(int argc, char** argv) {
  if (argc < 2)
    return std::nullopt;
  const std::string argument = argv[1];
  if (argument == "--version" || argument == "-V") {
    std::printf("tavorin %s\n", TAVORIN_VERSION);
    return 0;
  }
  if (argument == "--install-service" || argument == "--uninstall-service") {
    const bool install = argument == "--install-service";
    if (argc < 3 || argc > (install ? 4 : 3) || *argv[2] == '\0') {
      std::fprintf(
          stderr, "tavorin: %s takes %s\n", argument.c_str(),
          install ? "a service name, and a directory after it if need be" : "a service name");
      return 1;
    }
    return install ? InstallService(argv[2], argc == 4 ? argv[3] : "") : UninstallService(argv[2]);
  }
  if (argument == "--help" || argument == "-h") {
    std::printf(
        "Usage: tavorin [--help | --version | --install-service NAME [DIRECTORY] |\n"
        "                --uninstall-service NAME]\n"
        "\n"
        "A console UDP relay. It listens on UDP ports P and P+1 and relays each client's\n"
        "datagrams to the server's ports S and S+1 through a socket of the client's own, and the\n"
        "server's replies back from the port the client used. It reads its settings from\n"
        "TAVORIN.INI in the working directory, prints four lines, then writes to the log file,\n"
        "and relays until it is stopped.\n"
        "\n"
        "Stopping and reloading:\n"
        "  a key on its terminal, SIGTERM, SIGINT (Ctrl+C) or SIGHUP: the orderly stop (with\n"
        "  LogLinks=1 each link's closed line and the counters written; exit status 0); a\n"
        "  second signal ends it at once. On Windows Ctrl+C, Ctrl+Break and closing the console.\n"
        "  SIGUSR1 (systemctl reload): reads TAVORIN.INI again and reopens the log file.\n"
        "\n"
        "Settings, with their defaults:\n"
        "%s"
        "\n"
        "Exit status: 0 after a stop; %d when it could not start for now (a port in use, a name\n"
        "that does not resolve); %d when its settings or rights cannot work as they are.\n"
        "\n"
        "As a service: systemctl enable --now tavorin@NAME runs one in /var/lib/tavorin/NAME,\n"
        "which holds its TAVORIN.INI (the unit tavorin@.service; journalctl -u tavorin@NAME).\n"
        "On Windows only, as an administrator:\n"
        "  --install-service NAME [DIRECTORY]  installs the service NAME, started at boot and\n"
        "    restarted after a failure, which runs in DIRECTORY (by default the folder of\n"
        "    tavorin.exe): its TAVORIN.INI, its log, and tavorin-errors.txt for what a console\n"
        "    would show on standard error. net start NAME starts it, net stop NAME stops it.\n"
        "  --uninstall-service NAME  stops and removes the service NAME.\n"
        "The manual: man tavorin (every setting, the log, stopping, capacity).\n",
        KeysHelp().c_str(), kStartFailed, kConfigurationError);
    return 0;
  }
  return std::nullopt;
}

}  // namespace tavorin
