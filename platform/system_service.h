// The relay as a Windows service: installing and removing one, and running as one when the
// service manager starts the program. Elsewhere the service manager is another (systemd): the
// first two refuse with a line on standard error, and the program is never run as a service.
#pragma once

#include <optional>
#include <string>

namespace tavorin {

// Registers the service `name`: the program's own path as its command line, started at boot,
// restarted by the service manager after a failure, and run in `directory` (where its settings
// and log are; the program's folder when empty), which is kept in the service's registry key.
// Says on standard output what it did, or on standard error why it could not (no rights, the
// name taken, no such directory); returns the exit status, 0 or 1.
int InstallService(const std::string& name, const std::string& directory);

// Stops the service `name` (waiting a bounded time for it to stop) and removes it; refuses one
// that runs another program. Says what it did or why not; returns 0 or 1.
int UninstallService(const std::string& name);

// When the service manager started this process: runs `body` as the service, in the service's
// directory, with no console (standard output and standard error go to files), reporting its
// states to the manager, and returns body's exit status once the service has stopped. Nothing
// when the process was started any other way (a console run), which then runs as it always has.
// `unfit_status`: the exit status reported when the service's directory cannot be entered or
// its errors file cannot be opened (the reason then goes to the event log).
std::optional<int> RunAsService(int (*body)(), int unfit_status);

}  // namespace tavorin
