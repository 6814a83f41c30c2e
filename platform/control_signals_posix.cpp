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

namespace tavorin {

namespace {
enum class Asks { kStop, kReload, kEnd };
struct Handled {
  int signal_number;
  Asks asks;
};
// SIGTERM, SIGINT and SIGHUP ask for the orderly stop and SIGUSR1 for a reload. Every other
// signal sent from outside whose default action ends the process ends it, the last words said
// first (SIGPIPE is ignored from the start; SIGKILL cannot be caught; the signals of a fault,
// SIGSEGV, SIGABRT, ..., are left to the runtime and the debugger).
constexpr Handled kHandled[] = {
    {SIGTERM, Asks::kStop},   {SIGINT, Asks::kStop},  {SIGHUP, Asks::kStop},
    {SIGUSR1, Asks::kReload}, {SIGQUIT, Asks::kEnd},  {SIGUSR2, Asks::kEnd},
    {SIGALRM, Asks::kEnd},    {SIGXCPU, Asks::kEnd},  {SIGXFSZ, Asks::kEnd},
    {SIGVTALRM, Asks::kEnd},  {SIGPROF, Asks::kEnd},  {SIGIO, Asks::kEnd},
    {SIGPWR, Asks::kEnd},     {SIGSTKFLT, Asks::kEnd}};
constexpr int kHandledCount = sizeof kHandled / sizeof kHandled[0];

std::atomic<int> stop_signal{0};
std::atomic<bool> reload{false};
std::atomic<void (*)()> last_words{nullptr};
struct sigaction previous[kHandledCount];
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
  for (const Handled& handled : kHandled) {
    if (handled.signal_number != signal_number)
      continue;
    if (handled.asks == Asks::kReload) {
      reload.store(true);
      return;
    }
    int none = 0;
    if (handled.asks == Asks::kStop && stop_signal.compare_exchange_strong(none, signal_number))
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
  reload.store(false);
  sigemptyset(&held);
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  for (const Handled& handled : kHandled) {
    if (handled.asks == Asks::kStop)
      sigaddset(&action.sa_mask, handled.signal_number);
  }
  action.sa_flags = SA_RESTART;
  for (int i = 0; i < kHandledCount; ++i) {
    const int signal_number = kHandled[i].signal_number;
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
  for (int i = 0; i < kHandledCount; ++i)
    ::sigaction(kHandled[i].signal_number, &previous[i], nullptr);
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

bool ControlSignals::TakeReloadRequest() {
  return reload.exchange(false);
}

void SetLastWords(void (*words)()) {
  last_words.store(words);
}

}  // namespace tavorin
