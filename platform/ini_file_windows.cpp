// The settings file's bytes on Windows.
#include <windows.h>

#include <string>

#include "platform/ini_file.h"
#include "platform/outcome.h"

namespace tavorin {

namespace {
// The reads the file is taken in; should it grow while it is read, the reader stops at the
// bound.
constexpr DWORD kChunk = 16 * 1024;

bool NotThere(DWORD error) {
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

// Why the open file cannot be read as a settings file, if it cannot.
std::optional<std::string> FileProblem(HANDLE file) {
  if (GetFileType(file) != FILE_TYPE_DISK)
    return "it is not a regular file";
  LARGE_INTEGER size{};
  if (!GetFileSizeEx(file, &size))
    return ErrorText(static_cast<int>(GetLastError()));
  if (static_cast<unsigned long long>(size.QuadPart) > kLargestIniFile)
    return IniFileTooLarge();
  return std::nullopt;
}
}  // namespace

std::optional<std::string> ReadIniFileBytes(const std::string& path, std::string& text) {
  const DWORD attributes = GetFileAttributesA(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    const DWORD error = GetLastError();
    if (NotThere(error))
      return std::nullopt;  // the defaults, with nothing to say
    return ErrorText(static_cast<int>(error));
  }
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
    return "it is a directory, not a file";
  // Others may go on writing, renaming or deleting the file: it is read as it is now.
  HANDLE file = CreateFileA(path.c_str(), GENERIC_READ,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    if (NotThere(error))
      return std::nullopt;  // gone since it was looked at
    return ErrorText(static_cast<int>(error));
  }
  std::optional<std::string> problem = FileProblem(file);
  char chunk[kChunk];
  while (!problem && text.size() < kLargestIniFile) {
    DWORD got = 0;
    if (!ReadFile(file, chunk, kChunk, &got, nullptr))
      problem = ErrorText(static_cast<int>(GetLastError()));
    else if (got == 0)
      break;
    else
      text.append(chunk, got);
  }
  CloseHandle(file);
  if (problem)
    text.clear();
  return problem;
}

}  // namespace tavorin
