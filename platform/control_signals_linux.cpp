// Stop, reload and ending requests as POSIX signals.
//
// From the start to the stop, the signals the relay takes over are held (blocked) on the main
// thread, which takes them in Wait with sigtimedwait, between the upkeep's slices: no handler
// runs then, so that no request is lost or half-seen, whatever the runtime does with
// asynchronous handlers (ThreadSanitizer's defers them, and under load drops some). The
// relay's threads block every signal. From the stop on (Release), the handlers take them as
// they come: a second stop request, or any ending signal, then ends the process at once.
#include <signal.h>

#include <atomic>
#include <cerrno>
#include <ctime>

#include "platform/control_signals.h"
#include "platform/taken_signals_linux.h"

namespace tavorin {

namespace {
// SIGTERM, SIGINT and SIGHUP ask for the orderly stop, SIGUSR1 for a reload, and SIGUSR2 says
// that the stop to come hands the links on. Every other
// signal sent from outside whose default action ends the process ends it, the last words said
// first. The table holds them all (platform/taken_signals_linux.h); these are the ones taken
// here.
bool TakenHere(SignalRole role) {
  return role == SignalRole::kStop || role == SignalRole::kReload || role == SignalRole::kEnd ||
         role == SignalRole::kHandOn;
}
constexpr int kTakenCount = sizeof kTakenSignals / sizeof kTakenSignals[0];

std::atomic<int> stop_signal{0};
std::atomic<bool> reload{false};
std::atomic<bool> hand_on{false};
std::atomic<bool> drain_open{false};  // a stop request now ends the drain
std::atomic<bool> drain_ended{false};
std::atomic<void (*)()> last_words{nullptr};
struct sigaction previous[kTakenCount];
sigset_t held;  // the signals taken over: none ignored at start
static_assert(std::atomic<int>::is_always_lock_free, "read in signal handlers");

// Async-signal-safe. The signal's default restored, raised again and let through ends the
// process here, as it would have without any handler.
void EndBy(int signal_number) {
  if (void (*words)() = last_words.load())
    words();
  struct sigaction default_action {};
  default_action.sa_handler = SIG_DFL;
  sigemptyset(&default_action.sa_mask);
  ::sigaction(signal_number, &default_action, nullptr);
  ::raise(signal_number);
  sigset_t only;
  sigemptyset(&only);
  sigaddset(&only, signal_number);
  ::pthread_sigmask(SIG_UNBLOCK, &only, nullptr);
}

// Async-signal-safe: the handler and Wait both come here.
void Take(int signal_number) {
  for (const TakenSignal& taken : kTakenSignals) {
    if (taken.number != signal_number)
      continue;
    if (taken.role == SignalRole::kReload) {
      reload.store(true);
      return;
    }
    if (taken.role == SignalRole::kHandOn) {
      hand_on.store(true);
      return;
    }
    int none = 0;
    // During the drain a stop request ends it: the second one, or the first when a key began
    // the stop.
    if (taken.role == SignalRole::kStop && drain_open.exchange(false)) {
      stop_signal.compare_exchange_strong(none, signal_number);
      drain_ended.store(true);
      return;
    }
    if (taken.role == SignalRole::kStop && stop_signal.compare_exchange_strong(none, signal_number))
      return;
    break;  // an ending signal, or a stop asked again during the stop
  }
  EndBy(signal_number);
}

void OnSignal(int signal_number) {
  const int saved_errno = errno;
  Take(signal_number);
  errno = saved_errno;
}
}  // namespace

ControlSignals::ControlSignals() {
  stop_signal.store(0);
  drain_open.store(false);
  drain_ended.store(false);
  reload.store(false);
  sigemptyset(&held);
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  for (const TakenSignal& taken : kTakenSignals) {
    if (taken.role == SignalRole::kStop)
      sigaddset(&action.sa_mask, taken.number);
  }
  action.sa_flags = SA_RESTART;
  for (int i = 0; i < kTakenCount; ++i) {
    if (!TakenHere(kTakenSignals[i].role))
      continue;
    const int signal_number = kTakenSignals[i].number;
    ::sigaction(signal_number, nullptr, &previous[i]);
    // A signal ignored by whoever started the relay (nohup) stays ignored.
    if (previous[i].sa_handler != SIG_IGN) {
      ::sigaction(signal_number, &action, nullptr);
      sigaddset(&held, signal_number);
    }
  }
  ::pthread_sigmask(SIG_BLOCK, &held, nullptr);
}

ControlSignals::~ControlSignals() {
  // Whatever came while held is handled before the previous actions are back.
  Release();
  for (int i = 0; i < kTakenCount; ++i) {
    if (TakenHere(kTakenSignals[i].role))
      ::sigaction(kTakenSignals[i].number, &previous[i], nullptr);
  }
}

void ControlSignals::Wait(std::chrono::milliseconds most) {
  const auto ms = most.count();
  timespec timeout{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
  // EAGAIN when the time is up, EINTR when a signal not held came.
  if (const int signal_number = ::sigtimedwait(&held, nullptr, &timeout); signal_number > 0)
    Take(signal_number);
}

void ControlSignals::Release() {
  ::pthread_sigmask(SIG_UNBLOCK, &held, nullptr);
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

void ControlSignals::AllowDrain(bool open) {
  drain_open.store(open);
}

const char* ControlSignals::DrainEnded() const {
  return drain_ended.load() ? kSecondStop : nullptr;
}

bool ControlSignals::TakeReloadRequest() {
  return reload.exchange(false);
}

bool ControlSignals::HandOnRequested() const {
  return hand_on.load();
}

void SetLastWords(void (*words)()) {
  last_words.store(words);
}

}  // namespace tavorin
