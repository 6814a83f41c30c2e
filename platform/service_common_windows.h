// What the Windows service's files share: where the service's directory is kept, the program's
// own path, and the state the running service reports to the service manager (every report
// does nothing when the process runs in a console).
#pragma once

#include <windows.h>

#include <string>

namespace tavorin {

// The service's key of its own, under its entry in the registry (which removing the service
// removes with it), and the value there that names its directory.
inline std::string ParametersKey(const std::string& name) {
  return "SYSTEM\\CurrentControlSet\\Services\\" + name + "\\Parameters";
}
inline constexpr char kDirectoryValue[] = "Directory";

// Where standard error goes while the program runs as a service: a file in its directory,
// beside the log, added to at every start.
inline constexpr char kErrorsFileName[] = "tavorin-errors.txt";

// The path of this program's file, or empty when the system cannot say.
inline std::string ProgramPath() {
  std::string path(MAX_PATH, '\0');
  for (;;) {
    const DWORD length = GetModuleFileNameA(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (length == 0)
      return {};
    if (length < path.size()) {
      path.resize(length);
      return path;
    }
    path.resize(path.size() * 2);
  }
}

// The folder `path` is in ("C:\\" for a file at a drive's root, not "C:", the drive's current
// directory).
inline std::string FolderOf(const std::string& path) {
  const size_t slash = path.find_last_of("\\/");
  if (slash == std::string::npos)
    return ".";
  return path.substr(0, slash == 2 && path[1] == ':' ? 3 : slash);
}

// Whether the service manager started this process and its service's main has registered.
bool RunningAsService();

// SERVICE_START_PENDING or SERVICE_STOP_PENDING, expected to last up to `wait_hint_ms` more;
// each call advances the checkpoint, the sign of progress the manager waits for.
void ReportPending(DWORD state, DWORD wait_hint_ms);
// SERVICE_RUNNING, taking the stop and shutdown controls.
void ReportRunning();
// Whether a stop has been reported as pending.
bool StopPending();

// How long a stop may take between two signs of progress.
inline constexpr DWORD kStopHintMs = 10000;

}  // namespace tavorin
