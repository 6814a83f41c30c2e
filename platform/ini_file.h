// The initialization-file reader: one value from a settings file.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

namespace tavorin {

// The value of `key` in `section` of the file at `path`, or `fallback` when the file, the
// section or the key is missing or the file cannot be read; a key present with an empty value
// gives the empty value. At most size - 1 characters come back.
std::string ReadIniValue(const char* section, const char* key, const char* fallback, size_t size,
                         const std::string& path);

// Why the settings file at `path`, which is there, cannot be read (no permission, not a
// file, too large to take, ...), or nothing when it can be read or is not there at all. Never
// waits, whatever the path names.
std::optional<std::string> IniFileProblem(const std::string& path);

}  // namespace tavorin
