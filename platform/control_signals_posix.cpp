// Stop and reload requests as POSIX signals. The handlers only set flags, which the main thread
// looks at between key tests; the relay's threads block every signal, so the handlers run on
// the main thread.
#include <signal.h>

#include <atomic>

#include "platform/control_signals.h"

namespace tavorin {

namespace {
constexpr int kStopSignals[] = {SIGTERM, SIGINT, SIGHUP};
constexpr int kReloadSignal = SIGUSR1;
constexpr int kHandled[] = {SIGTERM, SIGINT, SIGHUP, kReloadSignal};
constexpr int kHandledCount = sizeof kHandled / sizeof kHandled[0];

std::atomic<int> stop_signal{0};
std::atomic<bool> reload{false};
std::atomic<void (*)()> last_words{nullptr};
struct sigaction previous[kHandledCount];
static_assert(std::atomic<int>::is_always_lock_free, "read in signal handlers");

void OnStop(int signal_number) {
  int none = 0;
  if (stop_signal.compare_exchange_strong(none, signal_number))
    return;
  // Asked again during the stop: ended at once, as the signal's default would.
  if (void (*words)() = last_words.load())
    words();
  ::signal(signal_number, SIG_DFL);
  ::raise(signal_number);
}

void OnReload(int) {
  reload.store(true);
}
}  // namespace

ControlSignals::ControlSignals() {
  stop_signal.store(0);
  reload.store(false);
  for (int i = 0; i < kHandledCount; ++i) {
    struct sigaction action {};
    action.sa_handler = kHandled[i] == kReloadSignal ? OnReload : OnStop;
    sigemptyset(&action.sa_mask);
    for (int stop : kStopSignals)
      sigaddset(&action.sa_mask, stop);
    action.sa_flags = SA_RESTART;
    ::sigaction(kHandled[i], nullptr, &previous[i]);
    if (previous[i].sa_handler != SIG_IGN)
      ::sigaction(kHandled[i], &action, nullptr);
  }
}

ControlSignals::~ControlSignals() {
  for (int i = 0; i < kHandledCount; ++i)
    ::sigaction(kHandled[i], &previous[i], nullptr);
}

const char* ControlSignals::StopRequest() const {
  switch (stop_signal.load()) {
    case 0:
      return nullptr;
    case SIGTERM:
      return "SIGTERM";
    case SIGINT:
      return "SIGINT";
    default:
      return "SIGHUP";
  }
}

bool ControlSignals::TakeReloadRequest() {
  return reload.exchange(false);
}

void SetLastWords(void (*words)()) {
  last_words.store(words);
}

}  // namespace tavorin
