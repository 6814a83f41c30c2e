// Every signal the program takes over on Linux, and what it does with it, in one table: the
// stop, reload and ending signals (ControlSignals), the broken pipe (PrepareStandardStreams)
// and the terminal's stop (the console key test). A signal not listed keeps its default.
#pragma once

#include <signal.h>

#include <cstdint>

namespace tavorin {

enum class SignalRole : uint8_t {
  kStop,          // the orderly stop, as a key press
  kReload,        // the settings read again
  kHandOn,        // the next stop is followed by a run that takes the links over: no drain
  kEnd,           // ends the process as by default, the last words said first
  kIgnored,       // a write to a closed pipe fails instead of ending the process
  kTerminalStop,  // Ctrl+Z: the terminal's settings given back, then stopped as by default
  kThreadWake,    // sent to one relay thread to interrupt its receive (StoppableThread)
};

struct TakenSignal {
  int number;
  SignalRole role;
};

// SIGKILL and SIGSTOP cannot be caught; the signals of a fault (SIGSEGV, SIGABRT, ...) are
// left to the runtime and the debugger.
inline constexpr TakenSignal kTakenSignals[] = {
    {SIGTERM, SignalRole::kStop},      {SIGINT, SignalRole::kStop},
    {SIGHUP, SignalRole::kStop},       {SIGUSR1, SignalRole::kReload},
    {SIGQUIT, SignalRole::kEnd},       {SIGUSR2, SignalRole::kHandOn},
    {SIGALRM, SignalRole::kEnd},       {SIGXCPU, SignalRole::kEnd},
    {SIGXFSZ, SignalRole::kEnd},       {SIGVTALRM, SignalRole::kEnd},
    {SIGPROF, SignalRole::kEnd},       {SIGIO, SignalRole::kEnd},
    {SIGPWR, SignalRole::kEnd},        {SIGSTKFLT, SignalRole::kEnd},
    {SIGPIPE, SignalRole::kIgnored},   {SIGTSTP, SignalRole::kTerminalStop},
    {SIGURG, SignalRole::kThreadWake},
};

// The signal of a role that only one has (kIgnored, kTerminalStop, kThreadWake).
constexpr int SignalOf(SignalRole role) {
  for (const TakenSignal& taken : kTakenSignals) {
    if (taken.role == role)
      return taken.number;
  }
  return 0;
}

}  // namespace tavorin
