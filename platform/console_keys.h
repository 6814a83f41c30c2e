// The console key test: is a key press waiting on the console? The key is never read; it
// stays in the input for whatever reads next.
#pragma once

namespace tavorin {

class ConsoleKeys {
 public:
  ConsoleKeys() = default;
  // Gives the terminal back as it was found.
  ~ConsoleKeys();
  ConsoleKeys(const ConsoleKeys&) = delete;
  ConsoleKeys& operator=(const ConsoleKeys&) = delete;

  // The console is opened at the first test and kept open. Without one, every test says no.
  bool KeyPressed();

 private:
  bool tried_ = false;
  bool open_ = false;
  [[maybe_unused]] void* console_ = nullptr;  // the console input device, where the system has one
};

}  // namespace tavorin
