// Installing and removing the Windows service: an entry in the service manager's database that
// starts this program at boot, restarts it after a failure, and keeps its directory in the
// service's key. A step that fails after the entry is made removes the entry again.
#include <windows.h>

#include <cctype>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "platform/outcome.h"
#include "platform/service_common_windows.h"
#include "platform/system_service.h"

namespace tavorin {

namespace {

// After a failure (a crash, or a stop with an exit status that is not 0): restarted after 5 s,
// 30 s and 2 min, three times at most within a day. A start at boot that comes before the
// network (a server's name not resolved yet) is so tried again for over two minutes.
constexpr DWORD kRestartDelaysMs[] = {5000, 30000, 120000};
constexpr DWORD kFailureCountReset = 24 * 60 * 60;
// How long removing a service waits for it to stop.
constexpr auto kMostStopWait = std::chrono::seconds(30);

class Handle {
 public:
  explicit Handle(SC_HANDLE handle) : handle_(handle) {}
  ~Handle() {
    if (handle_ != nullptr)
      CloseServiceHandle(handle_);
  }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  SC_HANDLE get() const { return handle_; }
  explicit operator bool() const { return handle_ != nullptr; }

 private:
  SC_HANDLE handle_;
};

int Refuse(const std::string& what, const std::string& why) {
  std::fprintf(stderr, "tavorin: %s: %s\n", what.c_str(), why.c_str());
  return 1;
}

std::string Why(DWORD error) {
  if (error == ERROR_ACCESS_DENIED)
    return "access denied; run it as an administrator";
  return ErrorText(static_cast<int>(error));
}

// The program a service's command line starts: the quoted path, or up to the first space.
std::string ProgramOfCommand(const std::string& command) {
  if (!command.empty() && command.front() == '"')
    return command.substr(1, command.find('"', 1) - 1);
  return command.substr(0, command.find(' '));
}

// The file name of a program's path, lower case.
std::string FileNameOf(const std::string& path) {
  std::string name = path.substr(path.find_last_of("\\/") + 1);
  for (char& c : name)
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return name;
}

// The settings of the entry beyond CreateService's: a description, the failure actions, and
// the directory. Returns why not, when not.
std::optional<std::string> Configure(SC_HANDLE entry, const std::string& name,
                                     const std::string& directory) {
  std::string description = "Relays UDP datagrams between clients and a server, as " + directory +
                            "\\TAVORIN.INI says; its log is there too.";
  SERVICE_DESCRIPTIONA said{description.data()};
  if (!ChangeServiceConfig2A(entry, SERVICE_CONFIG_DESCRIPTION, &said))
    return "cannot give it a description: " + Why(GetLastError());
  SC_ACTION actions[] = {{SC_ACTION_RESTART, kRestartDelaysMs[0]},
                         {SC_ACTION_RESTART, kRestartDelaysMs[1]},
                         {SC_ACTION_RESTART, kRestartDelaysMs[2]},
                         {SC_ACTION_NONE, 0}};
  SERVICE_FAILURE_ACTIONSA failure{kFailureCountReset, nullptr, nullptr,
                                   static_cast<DWORD>(std::size(actions)), actions};
  if (!ChangeServiceConfig2A(entry, SERVICE_CONFIG_FAILURE_ACTIONS, &failure))
    return "cannot set its restart after a failure: " + Why(GetLastError());
  // A start that fails ends with an exit status, and no crash: a restart may mend it too. A
  // service manager without the setting (Wine's) still restarts it after a crash.
  SERVICE_FAILURE_ACTIONS_FLAG on_exit_status{TRUE};
  if (!ChangeServiceConfig2A(entry, SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, &on_exit_status)) {
    std::fprintf(stderr,
                 "tavorin: warning: the service manager does not restart the service %s after a "
                 "start that fails (%s); only after a crash\n",
                 name.c_str(), Why(GetLastError()).c_str());
  }
  HKEY key = nullptr;
  LSTATUS made = RegCreateKeyExA(HKEY_LOCAL_MACHINE, ParametersKey(name).c_str(), 0, nullptr, 0,
                                 KEY_SET_VALUE, nullptr, &key, nullptr);
  if (made == ERROR_SUCCESS) {
    made = RegSetValueExA(key, kDirectoryValue, 0, REG_SZ,
                          reinterpret_cast<const BYTE*>(directory.c_str()),
                          static_cast<DWORD>(directory.size() + 1));
    RegCloseKey(key);
  }
  if (made != ERROR_SUCCESS) {
    return "cannot keep its directory in HKLM\\" + ParametersKey(name) + ": " +
           Why(static_cast<DWORD>(made));
  }
  return std::nullopt;
}

// Asks the service to stop and waits until it has, or kMostStopWait has passed; true once
// stopped.
bool Stop(SC_HANDLE entry) {
  SERVICE_STATUS status{};
  if (!QueryServiceStatus(entry, &status))
    return false;
  if (status.dwCurrentState == SERVICE_STOPPED)
    return true;
  ControlService(entry, SERVICE_CONTROL_STOP, &status);
  const auto end = std::chrono::steady_clock::now() + kMostStopWait;
  while (QueryServiceStatus(entry, &status) && status.dwCurrentState != SERVICE_STOPPED &&
         std::chrono::steady_clock::now() < end) {
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
  }
  return status.dwCurrentState == SERVICE_STOPPED;
}

}  // namespace

int InstallService(const std::string& name, const std::string& directory) {
  const std::string what = "cannot install the service " + name;
  const std::string program = ProgramPath();
  if (program.empty())
    return Refuse(what, "cannot find this program's own path: " + Why(GetLastError()));
  const std::string asked = directory.empty() ? FolderOf(program) : directory;
  char full[MAX_PATH * 4];
  const DWORD length = GetFullPathNameA(asked.c_str(), sizeof full, full, nullptr);
  if (length == 0 || length >= sizeof full)
    return Refuse(what, "cannot tell the full path of the directory " + asked);
  std::string folder(full, length);
  while (folder.size() > 3 && (folder.back() == '\\' || folder.back() == '/'))
    folder.pop_back();
  const DWORD attributes = GetFileAttributesA(folder.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
    return Refuse(what, folder + " is not a directory");

  Handle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE));
  if (!manager)
    return Refuse(what, "cannot open the service manager: " + Why(GetLastError()));
  const std::string command = "\"" + program + "\"";
  const std::string shown = "Tavorin UDP relay (" + name + ")";
  Handle entry(CreateServiceA(manager.get(), name.c_str(), shown.c_str(),
                              // Failure actions that restart the service need SERVICE_START.
                              SERVICE_CHANGE_CONFIG | SERVICE_START | DELETE,
                              SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL,
                              command.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr));
  if (!entry) {
    const DWORD error = GetLastError();
    if (error == ERROR_SERVICE_EXISTS || error == ERROR_DUPLICATE_SERVICE_NAME)
      return Refuse(what, "a service of that name is already installed");
    if (error == ERROR_INVALID_NAME)
      return Refuse(what, "that is no valid service name");
    return Refuse(what, Why(error));
  }
  if (std::optional<std::string> failed = Configure(entry.get(), name, folder)) {
    DeleteService(entry.get());
    return Refuse(what, *failed + "; not installed");
  }
  std::printf(
      "tavorin: installed the service %s: %s, started at boot (and restarted 5 s, 30 s and "
      "2 min after its first three failures of a day), in %s, which holds its TAVORIN.INI and "
      "log; start it with: net start %s\n",
      name.c_str(), command.c_str(), folder.c_str(), name.c_str());
  return 0;
}

int UninstallService(const std::string& name) {
  const std::string what = "cannot remove the service " + name;
  Handle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
  if (!manager)
    return Refuse(what, "cannot open the service manager: " + Why(GetLastError()));
  Handle entry(OpenServiceA(manager.get(), name.c_str(),
                            SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS | SERVICE_STOP | DELETE));
  if (!entry) {
    const DWORD error = GetLastError();
    if (error == ERROR_SERVICE_DOES_NOT_EXIST)
      return Refuse(what, "no service of that name is installed");
    return Refuse(what, Why(error));
  }
  // Another program's service is not this program's to remove.
  DWORD needed = 0;
  QueryServiceConfigA(entry.get(), nullptr, 0, &needed);
  std::string config(needed, '\0');
  auto* found = reinterpret_cast<QUERY_SERVICE_CONFIGA*>(config.data());
  if (needed == 0 || !QueryServiceConfigA(entry.get(), found, needed, &needed))
    return Refuse(what, "cannot read its settings: " + Why(GetLastError()));
  const std::string runs = found->lpBinaryPathName != nullptr ? found->lpBinaryPathName : "";
  // This program's own path is a path, not a command line: its spaces are its own.
  if (FileNameOf(ProgramOfCommand(runs)) != FileNameOf(ProgramPath()))
    return Refuse(what, "it runs " + runs + ", not this program; left as it is");
  const bool stopped = Stop(entry.get());
  if (!DeleteService(entry.get()))
    return Refuse(what, Why(GetLastError()));
  if (!stopped) {
    std::fprintf(stderr,
                 "tavorin: the service %s did not stop within %lld s; it is removed once it "
                 "stops\n",
                 name.c_str(), static_cast<long long>(kMostStopWait.count()));
    return 1;
  }
  std::printf("tavorin: removed the service %s, which is stopped\n", name.c_str());
  return 0;
}

}  // namespace tavorin
