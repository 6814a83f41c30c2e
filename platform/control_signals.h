// What asks the relay from outside, while it runs, to stop or to reload: on POSIX SIGTERM,
// SIGINT and SIGHUP to stop, SIGUSR1 to reload and SIGUSR2 to hand the links on at the stop, and
// any other signal sent to end a process ends it, the last words said first; on Windows Ctrl+C,
// Ctrl+Break and the console's close, logoff and shutdown events to stop, or, run as a service, the
// service manager's stop and shutdown controls alone. A stop so asked takes the same orderly path
// as a key; a second request during it ends the process at once.
#pragma once

#include <chrono>

namespace tavorin {

class ControlSignals {
 public:
  // Takes the signals over, on the thread that will wait for them; one ignored when the
  // process started (nohup) stays ignored.
  ControlSignals();
  // Gives them back as they were. On Windows a close, logoff or shutdown event that asked for
  // the stop is let go only now: the system ends the process when its handler returns.
  ~ControlSignals();
  ControlSignals(const ControlSignals&) = delete;
  ControlSignals& operator=(const ControlSignals&) = delete;

  // Sleeps for up to `most`, and wakes at once when a request comes. Until Release, requests
  // are taken here, between the main thread's work, and by nothing else.
  void Wait(std::chrono::milliseconds most);
  // From the stop on: every request is taken as it comes, and a second one ends the process.
  void Release();

  // What asked for a stop ("SIGTERM", "the console's close event"), or null while none has.
  const char* StopRequest() const;
  // Whether a reload was asked for since the last call.
  bool TakeReloadRequest();
  // Whether the stop that comes was said to be followed by a run that takes the links over
  // (SIGUSR2, which the service's unit sends ahead of a restart's stop): no drain then, as no
  // client is to move. Never on Windows.
  bool HandOnRequested() const;

  // From a drain's start (a stop asked for, the links held let go idle first): the next stop
  // request ends the drain instead of the process, and one after that ends the process. With
  // false, at the drain's end: the next request ends the process again.
  void AllowDrain(bool open = true);
  // What ended the drain (kSecondStop, or on Windows the system's shutdown), or null while
  // nothing has.
  const char* DrainEnded() const;
};

// A stop request during the drain, which ends it.
inline constexpr char kSecondStop[] = "a second stop request";

#ifdef _WIN32
// The service manager's stop control (or, with `shutdown`, its shutdown control), from the
// service's control handler: a stop request as any other, where none was asked before.
void AskServiceStop(bool shutdown);
#endif

// Called from a signal handler, so async-signal-safe, before a signal or a second stop request
// ends the process: whatever must be given back even then (the terminal's settings).
void SetLastWords(void (*last_words)());

}  // namespace tavorin
