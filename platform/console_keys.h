// The console key test: is a key press waiting on the console? The key is never read; it
// stays in the input for whatever reads next.
#pragma once

#include <optional>
#include <string>

namespace tavorin {

// A process has one console, so there is one ConsoleKeys at a time; what it keeps about the
// console lives with the system's own code (on POSIX the signal handlers need it too).
class ConsoleKeys {
 public:
  ConsoleKeys();
  // Gives the console back as it was found, and closes it.
  ~ConsoleKeys();
  ConsoleKeys(const ConsoleKeys&) = delete;
  ConsoleKeys& operator=(const ConsoleKeys&) = delete;

  // The console is opened at the first test and kept open. Without one, every test says no.
  bool KeyPressed();

  // After the first test: why a console that is there could not be opened (too many open
  // files, say), so that no key can end the wait; nothing when it was opened, or when the
  // process has no console at all (a service, a detached process), which is expected.
  std::optional<std::string> OpenProblem() const;
};

}  // namespace tavorin
