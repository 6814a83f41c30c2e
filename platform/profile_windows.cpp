// The settings reader on Windows: the system's own initialization-file reader.
#include <windows.h>

#include <vector>

#include "platform/profile.h"

namespace tavorin {

std::string ReadProfileString(const char* section, const char* key, const char* fallback,
                              size_t size, const std::string& path) {
  if (size == 0)
    return std::string();
  std::vector<char> buffer(size);
  DWORD n = GetPrivateProfileStringA(section, key, fallback, buffer.data(),
                                     static_cast<DWORD>(size), path.c_str());
  return std::string(buffer.data(), n);
}

}  // namespace tavorin
