// The settings reader on Windows: the system's own initialization-file reader.
#include <windows.h>

#include <vector>

#include "platform/ini_file.h"
#include "platform/outcome.h"

namespace tavorin {

std::string ReadIniValue(const char* section, const char* key, const char* fallback, size_t size,
                         const std::string& path) {
  if (size == 0)
    return std::string();
  std::vector<char> buffer(size);
  DWORD n = GetPrivateProfileStringA(section, key, fallback, buffer.data(),
                                     static_cast<DWORD>(size), path.c_str());
  return std::string(buffer.data(), n);
}

std::optional<std::string> IniFileProblem(const std::string& path) {
  DWORD attributes = GetFileAttributesA(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
      return std::nullopt;  // not there: the defaults, with nothing to say
    return ErrorText(static_cast<int>(error));
  }
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
    return "it is a directory, not a file";
  HANDLE file = CreateFileA(path.c_str(), GENERIC_READ,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE)
    return ErrorText(static_cast<int>(GetLastError()));
  CloseHandle(file);
  return std::nullopt;
}

}  // namespace tavorin
