// The initialization-file reader: one value from a settings file.
#pragma once

#include <cstddef>
#include <string>

namespace tavorin {

// The value of `key` in `section` of the file at `path`, or `fallback` when the file, the
// section or the key is missing or the file cannot be read; a key present with an empty value
// gives the empty value. At most size - 1 characters come back.
std::string ReadProfileString(const char* section, const char* key, const char* fallback,
                              size_t size, const std::string& path);

}  // namespace tavorin
