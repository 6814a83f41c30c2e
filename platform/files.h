// Paths and the process's limits on open files.
#pragma once

#include <optional>
#include <string>

namespace tavorin {

#ifdef _WIN32
inline constexpr char kPathSeparator = '\\';
#else
inline constexpr char kPathSeparator = '/';
#endif

// `directory`, the separator and `name`. The separator is always added, so a root directory
// gives two in a row, which every system takes as one.
inline std::string JoinPath(const std::string& directory, const std::string& name) {
  return directory + kPathSeparator + name;
}

// The current working directory, however long, or nothing (errno tells why).
std::optional<std::string> CurrentDirectory();

// Raises the soft limit on open descriptors to the hard limit, since every client of the
// relay costs one. Does nothing where there is no such limit.
void RaiseOpenFileLimit();

}  // namespace tavorin
