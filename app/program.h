// The program's whole life on the main thread: settings, the two Listeners, the console
// lines, the log file, the wait for a key and the shutdown.
#pragma once

#include <optional>

namespace tavorin {

// `--help` (or `-h`) prints what the program is and where its manual is, `--version` (or `-V`)
// its name and version; either gives the exit status 0 without touching a file or a port.
// `--install-service NAME [DIRECTORY]` and `--uninstall-service NAME` install and remove a
// Windows service (refused elsewhere), with the exit status 0 or 1. Any other argument is
// ignored, and nothing comes back: the relay is to run.
std::optional<int> AnswerArguments(int argc, char** argv);

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
