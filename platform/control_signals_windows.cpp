// Stop requests as the console's control events. The handler runs on a thread of the system's;
// for a close, logoff or shutdown event the system ends the process as soon as the handler
// returns, so the handler waits (within the time the system allows) until the orderly stop is
// done. A service takes its stop from the service manager's controls instead, and lets the
// console's events go by: the logoff event, which a service is sent too, must not end it.
#include <windows.h>

#include <atomic>

#include "platform/control_signals.h"
#include "platform/service_common_windows.h"

namespace tavorin {

namespace {
// The event that asked for the stop, or kNoStop. The cause and the request are one value, set
// once, so that whoever sees the request sees its cause (CTRL_C_EVENT is 0, hence the mark).
constexpr DWORD kNoStop = ~DWORD{0};
// The service manager's controls, beside the console's events.
constexpr DWORD kServiceStop = 0x10000;
constexpr DWORD kServiceShutdown = 0x10001;
std::atomic<DWORD> stop_event{kNoStop};
std::atomic<void (*)()> last_words{nullptr};
std::atomic<bool> drain_open{false};  // a Ctrl+C or Ctrl+Break now ends the drain
std::atomic<const char*> drain_ended{nullptr};
HANDLE stopped = nullptr;  // set once the stop is done
HANDLE asked = nullptr;    // set by the first request, to end a wait
// Less than the 5 s the system gives a console's close event.
constexpr DWORD kMostWaitMs = 4500;

BOOL WINAPI OnControl(DWORD event) {
  if (RunningAsService())
    return TRUE;
  DWORD none = kNoStop;
  // During the drain Ctrl+C or Ctrl+Break ends it: the second stop request, or the first when a
  // key began the stop.
  if ((event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT) && drain_open.exchange(false)) {
    stop_event.compare_exchange_strong(none, event, std::memory_order_release,
                                       std::memory_order_relaxed);
    drain_ended.store(kSecondStop);
    SetEvent(asked);
    return TRUE;
  }
  if (!stop_event.compare_exchange_strong(none, event, std::memory_order_release,
                                          std::memory_order_relaxed)) {
    if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT) {
      // Asked again during the stop: ended at once.
      if (void (*words)() = last_words.load())
        words();
      ExitProcess(STATUS_CONTROL_C_EXIT);
    }
  } else {
    SetEvent(asked);
  }
  if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT)
    return TRUE;
  WaitForSingleObject(stopped, kMostWaitMs);
  return TRUE;
}
}  // namespace

ControlSignals::ControlSignals() {
  stop_event.store(kNoStop);
  drain_open.store(false);
  drain_ended.store(nullptr);
  stopped = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  asked = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  SetConsoleCtrlHandler(OnControl, TRUE);
}

ControlSignals::~ControlSignals() {
  SetEvent(stopped);
  SetConsoleCtrlHandler(OnControl, FALSE);
}

void ControlSignals::Wait(std::chrono::milliseconds most) {
  WaitForSingleObject(asked, static_cast<DWORD>(most.count()));
}

void ControlSignals::Release() {}  // the handler takes every request as it comes

const char* ControlSignals::StopRequest() const {
  switch (stop_event.load(std::memory_order_acquire)) {
    case kNoStop:
      return nullptr;
    case CTRL_C_EVENT:
      return "Ctrl+C";
    case CTRL_BREAK_EVENT:
      return "Ctrl+Break";
    case CTRL_CLOSE_EVENT:
      return "the console's close event";
    case CTRL_LOGOFF_EVENT:
      return "the logoff event";
    case kServiceStop:
      return "the service manager's stop";
    case kServiceShutdown:
      return "the service manager's shutdown";
    default:
      return "the shutdown event";
  }
}

void ControlSignals::AllowDrain(bool open) {
  drain_open.store(open);
  // The stop request that began the drain has been taken: Wait waits again until the next.
  if (open)
    ResetEvent(asked);
}

const char* ControlSignals::DrainEnded() const {
  return drain_ended.load();
}

bool ControlSignals::TakeReloadRequest() {
  return false;  // no such request on Windows
}

bool ControlSignals::HandOnRequested() const {
  return false;  // nothing is handed on there
}

void AskServiceStop(bool shutdown) {
  // The system ending gives a service seconds, whatever its wait hint: no drain then.
  if (shutdown)
    drain_ended.store("the system's shutdown");
  DWORD none = kNoStop;
  if (stop_event.compare_exchange_strong(none, shutdown ? kServiceShutdown : kServiceStop,
                                         std::memory_order_release, std::memory_order_relaxed))
    SetEvent(asked);
}

void SetLastWords(void (*words)()) {
  last_words.store(words);
}

}  // namespace tavorin
