#include <windows.h>

#include <vector>

#include "platform/files.h"

namespace tavorin {

std::optional<std::string> CurrentDirectory() {
  DWORD needed = GetCurrentDirectoryA(0, nullptr);
  if (needed == 0)
    return std::nullopt;
  std::vector<char> buffer(needed + 1);
  DWORD n = GetCurrentDirectoryA(static_cast<DWORD>(buffer.size()), buffer.data());
  if (n == 0 || n >= buffer.size())
    return std::nullopt;
  return std::string(buffer.data(), n);
}

// Windows sets no per-process limit on sockets that a program could raise.
void RaiseOpenFileLimit() {}

}  // namespace tavorin
