// The console key test: is a key press waiting on the console? The key is never read; it
// stays in the input for whatever reads next.
#pragma once

#include <cstddef>
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

  // How many keys wait in the console's input, unread (the test never reads them: a key that
  // stopped the relay stays there for whoever reads the terminal next). The console is opened
  // at the first test and kept open. Without one, every test says none.
  size_t KeysWaiting();

  // After the first test: why a console that is there could not be opened (too many open
  // files, say), so that no key can end the wait; nothing when it was opened, or when the
  // process has no console at all (a service, a detached process), which is expected.
  std::optional<std::string> OpenProblem() const;
};

}  // namespace tavorin
