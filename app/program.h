// The program's whole life on the main thread: settings, the two Listeners, the console
// lines, the log file, the wait for a key and the shutdown.
#pragma once

#include <optional>

namespace tavorin {

// How a start that fails ends. kStartFailed: the host could not give what was asked for now (a
// port in use, a server name that does not resolve, an address the host lacks), which a later
// start may well have. kConfigurationError: the settings, or the rights the relay was given,
// cannot work as they are (a value that is no address, Transparent=1 without the capability,
// a server that is the relay itself), and no restart mends that until someone changes them.
// 78 is EX_CONFIG of sysexits.h, which the service unit names in RestartPreventExitStatus=.
inline constexpr int kStartFailed = 1;
inline constexpr int kConfigurationError = 78;

// Where the four console lines go: to standard output, or, for a run without a console (a
// Windows service), into the log file ahead of anything else written there.
enum class Console { kPresent, kAbsent };

// Returns the exit status: 0 after a key press or a stop signal, kStartFailed or
// kConfigurationError when the relay could not be started.
int RunProgram(Console console = Console::kPresent);

}  // namespace tavorin
