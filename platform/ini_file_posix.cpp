// The initialization-file reader on POSIX systems, which have none of their own.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string_view>
#include <utility>

#include "platform/ini_file.h"
#include "platform/ini_lookup.h"

namespace tavorin {

namespace {
// A settings file is a few lines. A longer line is cut, and a larger file is not read at all;
// should a file grow while it is read, the reader stops at the bound.
constexpr size_t kMostRead = 64 * 1024 * 1024;
constexpr size_t kChunk = 16 * 1024;

// The whole file, up to the bound.
std::string ReadAll(int fd) {
  std::string text;
  char chunk[kChunk];
  while (text.size() < kMostRead) {
    ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      break;
    text.append(chunk, static_cast<size_t>(n));
  }
  return text;
}

// Opens the file without waiting on it (a named pipe with no writer would hold the open up),
// and says why it cannot be read, if it cannot.
int OpenIniFile(const std::string& path, std::optional<std::string>* problem) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) {
    int error = errno;
    struct stat link {};
    // A file that is not there just means the defaults; a symbolic link to nothing is there.
    if (error != ENOENT || ::lstat(path.c_str(), &link) == 0)
      *problem = std::strerror(error);
    return -1;
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    *problem = std::strerror(errno);
  } else if (S_ISDIR(st.st_mode)) {
    *problem = "it is a directory, not a file";
  } else if (S_ISFIFO(st.st_mode)) {
    *problem = "it is a named pipe, not a file";
  } else if (S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode)) {
    *problem = "it is a device, not a file";
  } else if (!S_ISREG(st.st_mode)) {
    *problem = "it is not a regular file";
  } else if (static_cast<unsigned long long>(st.st_size) > kMostRead) {
    *problem = "it is larger than the " + std::to_string(kMostRead >> 20) + " MiB the reader takes";
  }
  if (problem->has_value()) {
    ::close(fd);
    return -1;
  }
  return fd;
}
}  // namespace

IniFile::IniFile(std::string path) : path_(std::move(path)) {
  int fd = OpenIniFile(path_, &problem_);
  if (fd >= 0) {
    TakeText(ReadAll(fd));
    ::close(fd);
  }
}

std::string IniFile::Value(const char* section, const char* key, const char* fallback,
                           size_t size) const {
  return ValueInText(section, key, fallback, size);
}

std::vector<std::string> IniFile::Keys(const char* section) const {
  return KeysInText(section);
}

std::vector<std::string> IniFile::Sections() const {
  return SectionsInText();
}

}  // namespace tavorin
