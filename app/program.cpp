#include "app/program.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "app/number.h"
#include "app/resolve_host.h"
#include "app/settings.h"
#include "platform/console_keys.h"
#include "platform/files.h"
#include "platform/udp_socket.h"
#include "relay/listener.h"

#ifdef _WIN32
#include <winsock2.h>
#else
#include <arpa/inet.h>
#endif

namespace tavorin {

namespace {

#ifdef _WIN32
constexpr char kLogMode[] = "wt";
#else
constexpr char kLogMode[] = "w";
#endif

constexpr auto kKeyTestInterval = std::chrono::milliseconds(500);

bool StartListener(Listener& listener, int32_t port) {
  if (listener.Start(port))
    return true;
  std::fprintf(stderr, "tavorin: cannot listen on UDP port %u: %s\n",
               static_cast<unsigned>(PortOf(port)), LastSocketErrorText().c_str());
  return false;
}

void WaitForKey() {
  ConsoleKeys keys;
  while (!keys.KeyPressed()) {
    std::this_thread::sleep_for(kKeyTestInterval);
  }
}

// Runs the relay with the settings read, until a key is pressed.
int Relay(const Settings& settings, uint32_t address, const std::string& log_path) {
  Listener a;
  Listener b;
  a.SetServer(MakeEndpoint(address, htons(PortOf(settings.server_port))));
  b.SetServer(MakeEndpoint(address, htons(PortOf(NextNumber(settings.server_port)))));
  if (!StartListener(a, settings.proxy_port) ||
      !StartListener(b, NextNumber(settings.proxy_port))) {
    return 1;
  }
  std::printf("Tavorin BUILD 6 - Ready to rock on port %i!\n",
              static_cast<int>(PortOf(settings.proxy_port)));
  std::printf("NOTE: Press any key to terminate.\n");
  // The lines above reach the standard output the program was started with; from here on it
  // is the log file, and nothing more is written to it.
  if (std::freopen(log_path.c_str(), kLogMode, stdout) == nullptr) {
    std::fprintf(stderr, "tavorin: warning: cannot open the log file %s: %s\n", log_path.c_str(),
                 std::strerror(errno));
  }

  WaitForKey();

  a.Stop();
  b.Stop();
  return 0;  // b, then a, is destroyed with every link
}

}  // namespace

int RunProgram() {
  StartSocketLibrary();
  RaiseOpenFileLimit();

  std::optional<std::string> directory = CurrentDirectory();
  if (!directory) {
    std::fprintf(stderr, "tavorin: cannot read the current directory: %s\n", std::strerror(errno));
    return 1;
  }
  const std::string settings_path = JoinPath(*directory, kSettingsFileName);
  const Settings settings = ReadSettings(settings_path);
  const std::string log_path = JoinPath(*directory, settings.log);
  if (settings.log.empty()) {
    std::fprintf(stderr, "tavorin: warning: Log in [Proxy] of %s is empty; no log file\n",
                 settings_path.c_str());
  }

  std::printf("Server Port = %i\n", static_cast<int>(settings.server_port));
  std::optional<uint32_t> address = ResolveHost(settings.server_host);
  if (!address) {
    std::fprintf(stderr, "tavorin: cannot resolve the server host \"%s\" (IP in [Server] of %s)\n",
                 settings.server_host.c_str(), settings_path.c_str());
    CleanupSocketLibrary();
    return 1;
  }
  const auto* octet = reinterpret_cast<const unsigned char*>(&*address);
  std::printf("Server IP = %i.%i.%i.%i\n", octet[0], octet[1], octet[2], octet[3]);

  int status = Relay(settings, *address, log_path);
  if (status != 0)
    CleanupSocketLibrary();
  return status;
}

}  // namespace tavorin
