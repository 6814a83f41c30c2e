// The main thread's turn, from the ready lines to the stop, in slices of a tenth of a second: a
// sign of life for the service manager, the status line when it is due or a server falls
// silent or answers again, a reload asked for, the key test and the upkeep. Two phases run the
// same turn: relaying until a key or a stop request, then, when the stop drains, the drain.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "app/upkeep.h"
#include "platform/console_keys.h"
#include "platform/control_signals.h"
#include "platform/service_notify.h"

namespace tavorin {

class MainLoop {
 public:
  using Clock = std::chrono::steady_clock;
  // `reload` does a reload asked for while relaying.
  MainLoop(Upkeep& upkeep, ControlSignals& signals, ServiceNotifier& service,
           std::function<void()> reload);

  // Turns until a key is pressed or a stop is asked for, then says which on standard error.
  void UntilStop();

  // Turns while `held()` links are left, until `end`, or until a second stop request or a key
  // ends the wait; a reload asked for meanwhile is refused, and said so. `status` is the
  // status line's text before the upkeep's. Returns why the drain ended.
  const char* Drain(const std::function<uint64_t()>& held, Clock::time_point end,
                    const std::string& status);

 private:
  // One slice's work but the upkeep's; a reload asked for is done when `reloads`. Returns what
  // ends the phase (from `ends`), or null.
  const char* Turn(bool reloads, const std::function<const char*()>& ends);
  // Turns until Turn says what ends the phase, or more than `keys_before` keys wait (then
  // null).
  const char* Run(bool reloads, const std::function<const char*()>& ends, size_t keys_before);

  Upkeep& upkeep_;
  ControlSignals& signals_;
  ServiceNotifier& service_;
  std::function<void()> reload_;
  ConsoleKeys keys_;
  std::string status_prefix_;
  Clock::time_point next_status_ = Clock::now();
  bool silent_shown_ = false;
  bool told_keys_ = false;  // why no key can be tested, said once after the first test
};

// What ends a drain when a key is pressed during it.
inline constexpr char kKeyDuringDrain[] = "a key";

}  // namespace tavorin
