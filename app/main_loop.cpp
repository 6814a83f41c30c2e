#include "app/main_loop.h"

#include <cstdio>
#include <optional>
#include <utility>

#include "platform/files.h"

namespace tavorin {

namespace {
constexpr auto kSlice = std::chrono::milliseconds(100);
// The key test and the upkeep's tick: every this many slices (half a second).
constexpr int kSlicesPerTick = 5;
constexpr auto kStatusInterval = std::chrono::seconds(60);
}  // namespace

MainLoop::MainLoop(Upkeep& upkeep, ControlSignals& signals, ServiceNotifier& service,
                   std::function<void()> reload)
    : upkeep_(upkeep), signals_(signals), service_(service), reload_(std::move(reload)) {}

const char* MainLoop::Turn(bool reloads, const std::function<const char*()>& ends) {
  // The service manager's watchdog ends a relay whose main thread no longer turns; on
  // Windows a pending stop's checkpoint keeps the manager waiting through a drain.
  service_.Turned();
  const bool silent = upkeep_.ServerSilent(0) || upkeep_.ServerSilent(1);
  if (const auto now = Clock::now();
      service_.enabled() && (now >= next_status_ || silent != silent_shown_)) {
    next_status_ = now + kStatusInterval;
    silent_shown_ = silent;
    service_.Status(status_prefix_ + upkeep_.Status());
  }
  if (signals_.TakeReloadRequest()) {
    if (reloads) {
      reload_();
    } else if (StandardErrorReady()) {
      WriteStandardErrorLine("tavorin: warning: no reload while draining");
    }
  }
  return ends();
}

const char* MainLoop::Run(bool reloads, const std::function<const char*()>& ends,
                          size_t keys_before) {
  for (int slice = 0;; slice = (slice + 1) % kSlicesPerTick) {
    if (const char* ended = Turn(reloads, ends))
      return ended;
    if (slice == 0) {
      if (keys_.KeysWaiting() > keys_before)
        return nullptr;
      if (std::optional<std::string> problem = keys_.OpenProblem(); problem && !told_keys_) {
        std::fprintf(stderr,
                     "tavorin: warning: cannot open the terminal for the key test: %s; only a "
                     "signal ends the relay\n",
                     problem->c_str());
      }
      told_keys_ = true;
      upkeep_.Tick();
    }
    signals_.Wait(kSlice);
    // The tick does the between-slices work itself.
    if (slice + 1 < kSlicesPerTick)
      upkeep_.Between();
  }
}

void MainLoop::UntilStop() {
  const auto stop_requested = [this] { return signals_.StopRequest(); };
  Run(true, stop_requested, 0);
  if (const char* request = signals_.StopRequest(); request != nullptr && StandardErrorReady())
    WriteStandardErrorLine(std::string("tavorin: ") + request + ": stopping");
}

const char* MainLoop::Drain(const std::function<uint64_t()>& held, Clock::time_point end,
                            const std::string& status) {
  status_prefix_ = status + "; ";
  next_status_ = Clock::now() + kStatusInterval;  // the drain's first line is said already
  // A key that stopped the relay stays in the terminal's input: only one more ends the drain.
  const size_t keys_before = keys_.KeysWaiting();
  const char* why = Run(
      false,
      [&]() -> const char* {
        if (held() == 0)
          return "every link has gone idle";
        if (const char* ended = signals_.DrainEnded())
          return ended;
        if (Clock::now() >= end)
          return "the time is up";
        return nullptr;
      },
      keys_before);
  return why != nullptr ? why : kKeyDuringDrain;
}

}  // namespace tavorin
