// The program's whole life on the main thread: settings, the two Listeners, the console
// lines, the log file, the wait for a key and the shutdown.
#pragma once

#include <optional>

namespace tavorin {

// `--help` (or `-h`) prints what the program is and where its manual is, `--version` (or `-V`)
// its name and version; either gives the exit status 0 without touching a file or a port. Any
// other argument is ignored, and nothing comes back: the relay is to run.
std::optional<int> AnswerArguments(int argc, char** argv);

// Returns the exit status: 0 after a key press, 1 when the relay could not be started.
int RunProgram();

}  // namespace tavorin
