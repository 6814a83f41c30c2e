// Running as a Windows service: the dispatcher that tells a service's start from a console
// run, the service's main on the thread the dispatcher gives it, the control handler on the
// main thread, and the status reported to the service manager.
//
// A failure before standard error is a file (the directory unfit, the file not opened) goes to
// the event log, under the service's name as the source; a start that fails later is told in
// the errors file, and the event log says where that is.
#include <fcntl.h>
#include <io.h>
#include <windows.h>
// after windows.h
#include <tlhelp32.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include "platform/control_signals.h"
#include "platform/files.h"
#include "platform/outcome.h"
#include "platform/service_common_windows.h"
#include "platform/system_service.h"

namespace tavorin {

namespace {

// Reading the settings and resolving the server's name come before the ports are open.
constexpr DWORD kStartHintMs = 30000;

struct Service {
  std::mutex mutex;
  SERVICE_STATUS_HANDLE handle = nullptr;
  SERVICE_STATUS status{};
  std::string name;
  int (*body)() = nullptr;
  int unfit_status = 1;
  int exit_status = 0;
  std::string errors_path;  // the errors file, once standard error is there
};
Service service;

void Report(DWORD state, DWORD wait_hint_ms, int exit_status = 0) {
  std::lock_guard<std::mutex> lock(service.mutex);
  if (service.handle == nullptr)
    return;
  SERVICE_STATUS& s = service.status;
  const bool pending = state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING;
  s.dwCheckPoint = pending && s.dwCurrentState == state ? s.dwCheckPoint + 1 : (pending ? 1 : 0);
  s.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  s.dwCurrentState = state;
  s.dwControlsAccepted =
      state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN : 0;
  s.dwWaitHint = wait_hint_ms;
  s.dwWin32ExitCode = exit_status == 0 ? NO_ERROR : ERROR_SERVICE_SPECIFIC_ERROR;
  s.dwServiceSpecificExitCode = static_cast<DWORD>(exit_status);
  SetServiceStatus(service.handle, &s);
}

void ToEventLog(const std::string& line) {
  HANDLE source = RegisterEventSourceA(nullptr, service.name.c_str());
  if (source == nullptr)
    return;
  const char* strings[] = {line.c_str()};
  ReportEventA(source, EVENTLOG_ERROR_TYPE, 0, 0, nullptr, 1, 0, strings, nullptr);
  DeregisterEventSource(source);
}

// The service's directory from its key, or the program's folder when the key names none; empty,
// with `why` said, when the key cannot be read.
std::string ServiceDirectory(std::string& why) {
  char value[MAX_PATH * 4];
  DWORD size = sizeof value;
  const LSTATUS read = RegGetValueA(HKEY_LOCAL_MACHINE, ParametersKey(service.name).c_str(),
                                    kDirectoryValue, RRF_RT_REG_SZ, nullptr, value, &size);
  if (read == ERROR_SUCCESS)
    return value;
  if (read == ERROR_FILE_NOT_FOUND)
    return FolderOf(ProgramPath());
  why = "cannot read the service's directory from HKLM\\" + ParametersKey(service.name) + "\\" +
        kDirectoryValue + ": " + ErrorText(static_cast<int>(read));
  return {};
}

// Gives a stream on no descriptor the number `number`, where the C runtime's FILE shows its
// descriptor (the old msvcrt's does); the UCRT's FILE is opaque, and nothing is done there.
template <typename Stream>
auto GiveDescriptor(Stream* stream, int number, int) -> decltype(stream->_file = number, bool()) {
  stream->_file = number;
  return true;
}
template <typename Stream>
bool GiveDescriptor(Stream* /*stream*/, int /*number*/, long) {
  return false;
}

// Points `stream` at the file `path`. A process started without standard handles (a service)
// has its standard streams on no descriptor (-2). Windows' C runtimes, msvcrt and the UCRT
// alike, reopen such a stream; Wine's refuse to, and there the stream is given its usual number
// first (which has no handle, so closing it does nothing) and reopened again.
FILE* Reopen(const char* path, const char* mode, FILE* stream, int number) {
  if (FILE* reopened = std::freopen(path, mode, stream))
    return reopened;
  if (_fileno(stream) >= 0 || !GiveDescriptor(stream, number, 0))
    return nullptr;
  return std::freopen(path, mode, stream);
}

// Enters the service's directory, sends standard output to the null device (the program opens
// its log itself) and standard error to the errors file there. Returns why not, when not.
std::optional<std::string> PrepareRun() {
  std::string why;
  const std::string directory = ServiceDirectory(why);
  if (directory.empty())
    return why;
  if (!SetCurrentDirectoryA(directory.c_str())) {
    return "cannot enter the service's directory " + directory + ": " +
           ErrorText(static_cast<int>(GetLastError()));
  }
  Reopen(kNullDevice, "w", stdout, 1);
  service.errors_path = directory + "\\" + kErrorsFileName;
  if (Reopen(kErrorsFileName, "a", stderr, 2) == nullptr)
    return "cannot open " + service.errors_path + ": " + std::strerror(errno);
  // The writer of standard error's lines writes to the handle, not to the stream.
  const auto errors = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stderr)));
  SetStdHandle(STD_ERROR_HANDLE, errors);
  // Written through the handle, the lines go after the last run's, not over them.
  SetFilePointerEx(errors, LARGE_INTEGER{}, nullptr, FILE_END);
  return std::nullopt;
}

DWORD WINAPI OnControl(DWORD control, DWORD, void*, void*) {
  switch (control) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN:
      ReportPending(SERVICE_STOP_PENDING, kStopHintMs);
      AskServiceStop(control == SERVICE_CONTROL_SHUTDOWN);
      return NO_ERROR;
    case SERVICE_CONTROL_INTERROGATE:
      return NO_ERROR;
    default:
      return ERROR_CALL_NOT_IMPLEMENTED;
  }
}

void WINAPI ServiceMain(DWORD argc, char** argv) {
  service.name = argc > 0 ? argv[0] : "";
  SERVICE_STATUS_HANDLE handle =
      RegisterServiceCtrlHandlerExA(service.name.c_str(), OnControl, nullptr);
  if (handle == nullptr) {
    ToEventLog("tavorin: cannot register the service's control handler: " +
               ErrorText(static_cast<int>(GetLastError())));
    service.exit_status = service.unfit_status;
    return;
  }
  {
    std::lock_guard<std::mutex> lock(service.mutex);
    service.handle = handle;
  }
  ReportPending(SERVICE_START_PENDING, kStartHintMs);
  if (std::optional<std::string> problem = PrepareRun()) {
    ToEventLog("tavorin: " + *problem);
    service.exit_status = service.unfit_status;
  } else if ((service.exit_status = service.body()) != 0) {
    // The reason is in the errors file; the event log, where an administrator looks first,
    // says where.
    ToEventLog("tavorin: the relay ended with status " + std::to_string(service.exit_status) +
               "; why is in " + service.errors_path);
  }
  // What is written by then reaches its files before the manager may end the process.
  FlushStandardError(std::chrono::seconds(2));
  std::fflush(nullptr);
  Report(SERVICE_STOPPED, 0, service.exit_status);
}

// Whether the service manager (services.exe) started this process. Only then is the dispatcher
// asked: Wine's, in a console run, may wait seconds on another service's control pipe before
// it refuses.
bool StartedByServiceManager() {
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE)
    return true;  // the dispatcher then tells
  const DWORD self = GetCurrentProcessId();
  DWORD parent = 0;
  PROCESSENTRY32 entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = Process32First(snapshot, &entry); more; more = Process32Next(snapshot, &entry)) {
    if (entry.th32ProcessID == self)
      parent = entry.th32ParentProcessID;
  }
  bool manager = false;
  entry.dwSize = sizeof entry;
  for (BOOL more = Process32First(snapshot, &entry); more && parent != 0;
       more = Process32Next(snapshot, &entry)) {
    if (entry.th32ProcessID == parent)
      manager = lstrcmpiA(entry.szExeFile, "services.exe") == 0;
  }
  CloseHandle(snapshot);
  return manager;
}

}  // namespace

bool RunningAsService() {
  std::lock_guard<std::mutex> lock(service.mutex);
  return service.handle != nullptr;
}

void ReportPending(DWORD state, DWORD wait_hint_ms) {
  Report(state, wait_hint_ms);
}

void ReportRunning() {
  Report(SERVICE_RUNNING, 0);
}

bool StopPending() {
  std::lock_guard<std::mutex> lock(service.mutex);
  return service.handle != nullptr && service.status.dwCurrentState == SERVICE_STOP_PENDING;
}

std::optional<int> RunAsService(int (*body)(), int unfit_status) {
  if (!StartedByServiceManager())
    return std::nullopt;
  service.body = body;
  service.unfit_status = unfit_status;
  // The name is taken from the manager's arguments: a process of its own has one service.
  char any[] = "";
  SERVICE_TABLE_ENTRYA table[] = {{any, ServiceMain}, {nullptr, nullptr}};
  if (StartServiceCtrlDispatcherA(table))
    return service.exit_status;
  const DWORD error = GetLastError();
  if (error == ERROR_FAILED_SERVICE_CONTROLLER_CONNECT)
    return std::nullopt;  // a console run after all
  // Started by the manager, the process has no console to run in: it ends, saying why.
  service.name = "tavorin";
  const std::string line =
      "tavorin: cannot take the service manager's controls: " + ErrorText(static_cast<int>(error));
  ToEventLog(line);
  std::fprintf(stderr, "%s\n", line.c_str());
  return unfit_status;
}

}  // namespace tavorin
