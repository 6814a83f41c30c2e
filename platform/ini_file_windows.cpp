// The settings reader on Windows: the system's own initialization-file reader.
#include <windows.h>

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/ini_file.h"
#include "platform/ini_lookup.h"
#include "platform/outcome.h"

namespace tavorin {

namespace {
std::string ReadIniValue(const char* section, const char* key, const char* fallback, size_t size,
                         const std::string& path) {
  if (size == 0)
    return std::string();
  std::vector<char> buffer(size);
  DWORD n = GetPrivateProfileStringA(section, key, fallback, buffer.data(),
                                     static_cast<DWORD>(size), path.c_str());
  return std::string(buffer.data(), n);
}

// The names the system's reader lists: each ended by a NUL, the list by a second one.
template <typename Read>
std::vector<std::string> ReadNameList(Read read) {
  std::vector<char> buffer(64 * 1024);
  const DWORD n = read(buffer.data(), static_cast<DWORD>(buffer.size()));
  std::vector<std::string> names;
  for (DWORD at = 0; at < n && buffer[at] != '\0';) {
    std::string name(buffer.data() + at);
    at += static_cast<DWORD>(name.size()) + 1;
    names.push_back(std::move(name));
  }
  return names;
}

std::vector<std::string> ReadIniKeys(const char* section, const std::string& path) {
  // With no key named, the system's reader gives every key of the section.
  return ReadNameList([&](char* buffer, DWORD size) {
    return GetPrivateProfileStringA(section, nullptr, "", buffer, size, path.c_str());
  });
}

std::optional<std::string> IniFileProblem(const std::string& path,
                                          std::optional<std::string>* doubt) {
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
  // The system's reader takes UTF-16 only with a byte-order mark, and reads anything else as
  // text: the first bytes tell what it would make of the file.
  char head[4096];
  DWORD got = 0;
  const BOOL read = ReadFile(file, head, sizeof head, &got, nullptr);
  const DWORD error = GetLastError();
  CloseHandle(file);
  if (!read)
    return ErrorText(static_cast<int>(error));
  *doubt = IniTextDoubt(std::string_view(head, got));
  return std::nullopt;
}

std::vector<std::string> ReadIniSections(const std::string& path) {
  return ReadNameList([&](char* buffer, DWORD size) {
    return GetPrivateProfileSectionNamesA(buffer, size, path.c_str());
  });
}

}  // namespace

IniFile::IniFile(std::string path) : path_(std::move(path)), system_reader_(true) {
  problem_ = IniFileProblem(path_, &doubt_);
}

std::string IniFile::Value(const char* section, const char* key, const char* fallback,
                           size_t size) const {
  if (problem_)
    return IniResult(std::nullopt, fallback, size);
  return system_reader_ ? ReadIniValue(section, key, fallback, size, path_)
                        : ValueInText(section, key, fallback, size);
}

std::vector<std::string> IniFile::Keys(const char* section) const {
  if (problem_)
    return {};
  return system_reader_ ? ReadIniKeys(section, path_) : KeysInText(section);
}

std::vector<std::string> IniFile::Sections() const {
  if (problem_)
    return {};
  return system_reader_ ? ReadIniSections(path_) : SectionsInText();
}

}  // namespace tavorin
