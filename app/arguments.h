// The program's arguments: it reads none but these, and no file or port is touched for them.
#pragma once

#include <optional>

namespace tavorin {

// `--help` (or `-h`) prints what the program is and where its manual is, `--version` (or `-V`)
// its name and version; either gives the exit status 0 without touching a file or a port.
// `--install-service NAME [DIRECTORY]` and `--uninstall-service NAME` install and remove a
// Windows service (refused elsewhere), with the exit status 0 or 1. Any other argument is
// ignored, and nothing comes back: the relay is to run.
std::optional<int> AnswerArguments(int argc, char** argv);

}  // namespace tavorin
