// The program's whole life on the main thread: settings, the two Listeners, the console
// lines, the log file, the wait for a key and the shutdown.
#pragma once

namespace tavorin {

// Returns the exit status: 0 after a key press, 1 when the relay could not be started.
int RunProgram();

}  // namespace tavorin
