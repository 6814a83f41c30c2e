// What asks the relay from outside, while it runs, to stop or to reload: on POSIX SIGTERM,
// SIGINT and SIGHUP to stop and SIGUSR1 to reload; on Windows Ctrl+C, Ctrl+Break and the
// console's close, logoff and shutdown events to stop. A stop so asked takes the same orderly
// path as a key; a second request during it ends the process at once.
#pragma once

namespace tavorin {

class ControlSignals {
 public:
  // Takes the signals over; one ignored when the process started (nohup) stays ignored.
  ControlSignals();
  // Gives them back as they were. On Windows a close, logoff or shutdown event that asked for
  // the stop is let go only now: the system ends the process when its handler returns.
  ~ControlSignals();
  ControlSignals(const ControlSignals&) = delete;
  ControlSignals& operator=(const ControlSignals&) = delete;

  // What asked for a stop ("SIGTERM", "the console's close event"), or null while none has.
  const char* StopRequest() const;
  // Whether a reload was asked for since the last call.
  bool TakeReloadRequest();
};

// Called from a signal handler, so async-signal-safe, before a second stop request ends the
// process: whatever must be given back even then (the terminal's settings).
void SetLastWords(void (*last_words)());

}  // namespace tavorin
