// The settings file's bytes on Linux.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/ini_file.h"

namespace tavorin {

namespace {
// Should a file grow while it is read, the reader stops at the bound.
constexpr size_t kChunk = 16 * 1024;

// The whole file, up to the bound.
std::string ReadAll(int fd) {
  std::string text;
  char chunk[kChunk];
  while (text.size() < kLargestIniFile) {
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
  } else if (static_cast<unsigned long long>(st.st_size) > kLargestIniFile) {
    *problem = IniFileTooLarge();
  }
  if (problem->has_value()) {
    ::close(fd);
    return -1;
  }
  return fd;
}
}  // namespace

std::optional<std::string> ReadIniFileBytes(const std::string& path, std::string& text) {
  std::optional<std::string> problem;
  int fd = OpenIniFile(path, &problem);
  if (fd >= 0) {
    text = ReadAll(fd);
    ::close(fd);
  }
  return problem;
}

}  // namespace tavorin
