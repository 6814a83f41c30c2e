// The settings reader over arbitrary text: the file reader and the in-memory lookups must give
// the same value, never longer than asked for, and the settings table must take anything.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "app/settings.h"
#include "platform/ini_file.h"
#include "platform/ini_lookup.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0)
    return 0;
  const size_t value_size = data[0] % 70;
  std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);

  static const int fd = memfd_create("settings", 0);
  if (fd < 0)
    std::abort();
  ftruncate(fd, 0);
  pwrite(fd, text.data(), text.size(), 0);
  static const std::string path = "/proc/self/fd/" + std::to_string(fd);

  static const char* const kNames[][2] = {
      {"Proxy", "Port"}, {"Proxy", "Log"}, {"Server", "Port"}, {"Server", "IP"}, {"", ""}};
  const tavorin::IniFile file(path);
  const tavorin::IniFile in_memory = tavorin::IniFile::FromText(text);
  if (file.problem().has_value() || file.doubt() != in_memory.doubt() ||
      file.unusable_lines().size() != in_memory.unusable_lines().size())
    std::abort();
  // The whole table of settings over the text: whatever it holds, a warning at most; read
  // again for a reload, the same text gives what it gave at start.
  const tavorin::Settings start = tavorin::ReadSettings(in_memory, "fuzz");
  const tavorin::Settings again = tavorin::ReadSettings(in_memory, "fuzz", &start);
  for (const tavorin::Key& key : tavorin::kKeys) {
    if (start.errors.empty() && ValueText(start, key.id) != ValueText(again, key.id))
      std::abort();
  }
  for (const auto& name : kNames) {
    std::string from_file = file.Value(name[0], name[1], "fallback", value_size);
    if (from_file != in_memory.Value(name[0], name[1], "fallback", value_size))
      std::abort();
    std::string from_memory = tavorin::FindIniValue(text, name[0], name[1], "fallback", value_size);
    if (value_size > 0 && from_memory.size() > value_size - 1)
      std::abort();
    if (value_size == 0 && !from_memory.empty())
      std::abort();
    if (from_file != from_memory)
      std::abort();
  }
  return 0;
}
