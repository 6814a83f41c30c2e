#include "app/program.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <system_error>
#include <thread>

#include "app/counted.h"
#include "app/handover.h"
#include "app/live_settings.h"
#include "app/main_loop.h"
#include "app/number.h"
#include "app/settings.h"
#include "app/socket_store.h"
#include "app/status_pages.h"
#include "app/status_server.h"
#include "app/upkeep.h"
#include "platform/control_signals.h"
#include "platform/endpoint.h"
#include "platform/files.h"
#include "platform/ini_file.h"
#include "platform/resolve_host.h"
#include "platform/service_notify.h"
#include "platform/udp_socket.h"
#include "relay/listener.h"
#include "relay/loop_guard.h"

namespace tavorin {

namespace {

// The four console lines, on standard output; without a console (a Windows service) they are
// kept instead, and written first into the log once it is open.
class ConsoleLines {
 public:
  explicit ConsoleLines(Console console) : into_log_(console == Console::kAbsent) {}
  void Print(const std::string& line) {
    if (into_log_) {
      kept_ += line;
    } else {
      std::fputs(line.c_str(), stdout);
    }
  }
  // Once standard output is the log.
  void LogOpened() {
    if (into_log_)
      WriteStandardOutputNow(kept_);
  }

 private:
  bool into_log_;
  std::string kept_;
};

// Starts `listener` over what was handed on; false, told, when it cannot listen.
bool StartListener(Listener& listener, int which, int32_t port, Handovers& handovers) {
  const Outcome started = StartOver(listener, which, port, handovers);
  if (started) {
    for (const Listener::RefusedOption& refused : listener.refused_options()) {
      std::fprintf(stderr, "tavorin: warning: port %u: the system refused %s: %s\n",
                   static_cast<unsigned>(listener.LocalPort()), refused.what,
                   ErrorText(refused.error).c_str());
    }
    return true;
  }
  const char* what = "cannot listen on UDP port";
  if (started.step() == Step::kSocket) {
    what = "cannot open a UDP socket for port";
  } else if (started.step() == Step::kThread || started.step() == Step::kMemory) {
    what = "cannot start the receive thread for UDP port";
  }
  std::fprintf(stderr, "tavorin: %s %u: %s\n", what, static_cast<unsigned>(PortOf(port)),
               ErrorText(started.error()).c_str());
  return false;
}

// The status listener, when StatusAddress asks for one; false when it cannot listen.
bool StartStatus(StatusServer& status, const StatusFacts& facts, const Endpoint& address,
                 const std::string& settings_path) {
  if (!address.known())
    return true;
  if (Outcome started = status.Start(address, PagesOf(facts)); !started) {
    std::fprintf(stderr, "tavorin: cannot listen on TCP %s (%s=%s of %s): %s\n",
                 EndpointText(address).c_str(), KeyOf(KeyId::kStatusAddress).name,
                 EndpointText(address).c_str(), settings_path.c_str(),
                 ErrorText(started.error()).c_str());
    return false;
  }
  return true;
}

// The engine and what a reload changes in it, in the order they must outlive each other: the
// guard and the route outlive the Listeners, whose threads read them.
struct Engine {
  Engine(const Settings& settings, const Endpoint& address)
      : live(settings, address, route, a, b, guard) {}
  LoopGuard guard;
  PublishedRoute route;
  Listener a;
  Listener b;
  LiveSettings live;
};

// Checks what the settings ask of the host and starts both Listeners; the exit status when the
// start fails.
std::optional<int> StartRelay(Engine& engine, const Settings& settings, const Endpoint& address,
                              const std::string& settings_path, Handovers& handovers,
                              SocketStore& store) {
  engine.live.ApplyAtStart();
  // An address the host lacks would fail to bind with the system's words alone.
  if (!IsAddressOfThisHost(settings.listen_address)) {
    std::fprintf(stderr,
                 "tavorin: cannot listen on UDP port %u: %s=%s (%s of %s) is not an "
                 "address of this host\n",
                 static_cast<unsigned>(PortOf(settings.proxy_port)), KeyOf(KeyId::kProxyIp).name,
                 AddressText(settings.listen_address).c_str(), KeyLabel(KeyId::kProxyIp).c_str(),
                 settings_path.c_str());
    return kStartFailed;  // an address may come later (DHCP): not the settings' fault alone
  }
  // Links that cannot take their clients' addresses would refuse every client: the start ends
  // instead, before anything listens.
  if (settings.transparent) {
    if (const int refused = TransparentRefused(address.is_v6()); refused != 0) {
      std::fprintf(stderr,
                   "tavorin: cannot relay with %s=1 (%s of %s): the system refuses sockets "
                   "bound to another host's address (%s): %s; they take CAP_NET_ADMIN, on "
                   "Linux only\n",
                   KeyOf(KeyId::kTransparent).name, KeyLabel(KeyId::kTransparent).c_str(),
                   settings_path.c_str(), address.is_v6() ? "IPV6_TRANSPARENT" : "IP_TRANSPARENT",
                   ErrorText(refused).c_str());
      return kConfigurationError;
    }
  }
  const int32_t ports[2] = {settings.proxy_port, NextNumber(settings.proxy_port)};
  Listener* const listeners[2] = {&engine.a, &engine.b};
  LetGoUnfit(listeners, ports, handovers, store);
  if (!StartListener(engine.a, 0, ports[0], handovers) ||
      !StartListener(engine.b, 1, ports[1], handovers)) {
    return kStartFailed;  // a port in use now may be free at the next start
  }
  if (engine.live.ServesItself()) {
    std::fprintf(stderr, "tavorin: the server port %u is this relay's own listening port\n",
                 static_cast<unsigned>(PortOf(settings.server_port)));
    return kConfigurationError;
  }
  return std::nullopt;
}

// The last two console lines, once everything the relay listens on is bound.
void PrintReady(const Settings& settings, ConsoleLines& lines) {
  lines.Print("Tavorin BUILD 6 - Ready to rock on port " +
              std::to_string(static_cast<int>(PortOf(settings.proxy_port))) + "!\n");
  lines.Print("NOTE: Press any key to terminate.\n");
}

// Moves standard output to the log file, after the four console lines: nothing more is written
// to it, but with the link log its lines are records an operator keeps across restarts. Returns
// what standard output now is (the log, or the null device).
std::string OpenLog(const std::string& log_path, const std::string& settings_path, bool log_links) {
  // A log that is the settings file would empty it, and the next start would take the
  // defaults in silence.
  std::error_code ignored;
  std::string log_target = log_path;
  if (std::filesystem::equivalent(log_path, settings_path, ignored)) {
    std::fprintf(stderr, "tavorin: warning: the log file %s is the settings file; no log file\n",
                 log_path.c_str());
    log_target = kNullDevice;
  }
  if (std::optional<std::string> failure = RedirectStandardOutput(log_target, log_links)) {
    std::fprintf(stderr, "tavorin: warning: cannot open the log file %s: %s\n", log_path.c_str(),
                 failure->c_str());
  }
  return log_target;
}

// A reload asked for: the settings read again and applied, the log reopened under its name (a
// rotated log), and what came of it told on standard error.
void Reload(LiveSettings& live, Upkeep& upkeep, const std::string& settings_path,
            const std::string& log_path, const std::string& log_target) {
  // What was written before the reopening goes to the old file.
  upkeep.Flush();
  std::vector<std::string> lines = live.ReloadFile(settings_path, upkeep);
  if (std::optional<std::string> failure = RedirectStandardOutput(log_target, true))
    lines.push_back("tavorin: warning: cannot reopen the log file " + log_path + ": " + *failure);
  for (const std::string& line : lines) {
    if (StandardErrorReady())
      WriteStandardErrorLine(line);
  }
}

// Before the orderly stop: new clients are refused and /health says 503, while the links held
// relay on until none is left (each gone idle) or `most` has passed, or a second stop request
// or a key ends the wait.
void Drain(Engine& engine, MainLoop& loop, ControlSignals& signals, ServiceNotifier& service,
           StatusFacts& facts, std::chrono::seconds most) {
  const auto start = std::chrono::steady_clock::now();
  const auto end = start + most;
  facts.drain_ends_ms.store(
      std::chrono::duration_cast<std::chrono::milliseconds>(end.time_since_epoch()).count());
  facts.phase.store(RelayPhase::kDraining);
  engine.a.SetDraining(true);
  engine.b.SetDraining(true);
  signals.AllowDrain();
  auto held = [&] { return engine.a.counters().links_held() + engine.b.counters().links_held(); };
  const std::string begun = "draining: new clients refused; " +
                            Counted(held(), "link held", "links held") + ", for up to " +
                            std::to_string(most.count()) + " s";
  service.Status(begun);
  if (StandardErrorReady())
    WriteStandardErrorLine("tavorin: " + begun);
  const char* why = loop.Drain(
      held, end, "draining: new clients refused for up to " + std::to_string(most.count()) + " s");
  signals.AllowDrain(false);
  const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now() - start);
  if (StandardErrorReady()) {
    WriteStandardErrorLine("tavorin: drained in " + std::to_string(took.count() / 1000) + "." +
                           std::to_string(took.count() % 1000 / 100) + " s (" + why + "); " +
                           Counted(held(), "link left", "links left"));
  }
}

// Runs the relay with the settings read, until a key is pressed or a stop is asked for.
int RunRelay(const Settings& settings, const Endpoint& address, const std::string& settings_path,
             const std::string& log_path, ControlSignals& signals, ConsoleLines& lines) {
  // Taken before anything opens a descriptor that could be mistaken for one passed in.
  Handovers handovers = SortPassedSockets(TakePassedSockets());
  ServiceNotifier service;
  Engine engine(settings, address);
  SocketStore store(service);
  // The status line and the metrics need the totals, which are otherwise kept only for the
  // link log; the manager keeps every socket, so that a restart keeps every link.
  if (service.enabled() || settings.status_address.known())
    engine.live.CountRelayedAlways();
  if (service.enabled()) {
    engine.a.KeepSockets();
    engine.b.KeepSockets();
  }
  if (std::optional<int> failed =
          StartRelay(engine, settings, address, settings_path, handovers, store))
    return *failed;
  // What was not taken over is forgotten first: a new listening socket has the old one's name.
  for (const std::string& line : TakenOver(handovers, store))
    std::fprintf(stderr, "%s\n", line.c_str());
  store.Started(engine.a, 0, handovers.of[0].listening_taken);
  store.Started(engine.b, 1, handovers.of[1].listening_taken);
  StatusFacts facts{{&engine.a, &engine.b}, {engine.a.LocalPort(), engine.b.LocalPort()}};
  StatusServer status;
  if (!StartStatus(status, facts, settings.status_address, settings_path))
    return kStartFailed;
  PrintReady(settings, lines);
  const std::string log_target = OpenLog(log_path, settings_path, settings.log_links);
  lines.LogOpened();
  service.Ready();
  store.Send();

  Upkeep upkeep(engine.a, engine.b, settings.max_datagram, settings.client_rate, settings.log_links,
                store.enabled() ? &store : nullptr);
  upkeep.SetSilenceWindow(std::chrono::seconds(settings.silence_seconds));
  facts.upkeep.store(&upkeep);
  auto reload = [&] {
    service.Reloading();
    Reload(engine.live, upkeep, settings_path, log_path, log_target);
    service.Ready();
  };
  MainLoop loop(upkeep, signals, service, reload);
  loop.UntilStop();
  // A stop that hands the links on to the next run keeps every client where it is: nothing to
  // drain.
  const bool handed_on = store.enabled() && signals.HandOnRequested();
  if (const uint32_t seconds = engine.live.settings().drain_seconds; seconds != 0 && !handed_on)
    Drain(engine, loop, signals, service, facts, std::chrono::seconds(seconds));
  facts.phase.store(RelayPhase::kStopping);
  signals.Release();
  service.Stopping();
  upkeep.Finish(handed_on);
  status.Stop();  // it reads the upkeep, which goes first
  return 0;       // b, then a, is destroyed
}

}  // namespace

int RunProgram(Console console) {
  // Before any socket or file takes the number of a closed standard stream.
  PrepareStandardStreams();
  // From here on a stop asked for takes the orderly path, and a reload waits for the relay.
  ControlSignals signals;
  const SocketLibrary sockets;  // released last, after the Listeners and every link
  RaiseOpenFileLimit();

  std::error_code failure;
  const std::filesystem::path directory = std::filesystem::current_path(failure);
  if (failure) {
    std::fprintf(stderr, "tavorin: cannot read the current directory: %s\n",
                 failure.message().c_str());
    return kStartFailed;
  }
  // Both files are named inside the working directory, whatever the name looks like (a Log
  // value that starts with a separator is no way out of it).
  const std::string within = (directory / "").string();
  const std::string settings_path = within + kSettingsFileName;
  const Settings settings = ReadSettings(settings_path);
  for (const std::string& warning : settings.warnings) {
    std::fprintf(stderr, "tavorin: warning: %s\n", warning.c_str());
  }
  for (const std::string& error : settings.errors) {
    std::fprintf(stderr, "tavorin: %s\n", error.c_str());
  }
  if (!settings.errors.empty())
    return kConfigurationError;
  const std::string log_path = within + settings.log;
  if (settings.log.empty()) {
    std::fprintf(stderr, "tavorin: warning: %s of %s is empty; no log file\n",
                 KeyLabel(KeyId::kLog).c_str(), settings_path.c_str());
  }

  ConsoleLines lines(console);
  lines.Print("Server Port = " + std::to_string(static_cast<int>(settings.server_port)) + "\n");
  std::optional<Endpoint> address = ResolveHost(settings.server_host);
  if (!address) {
    std::fprintf(stderr, "tavorin: cannot resolve the server host \"%s\" (%s of %s)\n",
                 settings.server_host.c_str(), KeyLabel(KeyId::kServerIp).c_str(),
                 settings_path.c_str());
    return kStartFailed;  // the name service may not be up yet
  }
  lines.Print("Server IP = " + AddressText(*address) + "\n");

  return RunRelay(settings, *address, settings_path, log_path, signals, lines);
}

}  // namespace tavorin
