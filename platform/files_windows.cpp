#include <windows.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
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

// A Windows socket is a kernel handle, never a C runtime descriptor, so a closed standard
// stream cannot lend its number to one; writing to a stream that has no handle, or whose
// reader has gone, fails quietly.
void PrepareStandardStreams() {}

// Text mode, as the console's own output is. A file in the working directory cannot be a named
// pipe on Windows, so the open does not wait.
std::optional<std::string> RedirectStandardOutput(const std::string& path, bool append) {
  if (std::freopen(path.c_str(), append ? "at" : "wt", stdout) != nullptr)
    return std::nullopt;
  std::string failure = std::strerror(errno);
  std::freopen("NUL", "wt", stdout);
  return failure;
}

// The log is a file, which takes what it is given at once (a full disk refuses it).
size_t WriteStandardOutputNow(std::string_view text) {
  size_t written = std::fwrite(text.data(), 1, text.size(), stdout);
  return std::fflush(stdout) == 0 ? written : 0;
}

// Standard error is written rarely; a console or file takes a line at once.
bool StandardErrorReady() {
  return true;
}

}  // namespace tavorin
