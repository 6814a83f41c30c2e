// The initialization-file reader on POSIX systems, which have none of their own.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/profile.h"
#include "platform/profile_lookup.h"

namespace tavorin {

namespace {
// A settings file is a few lines. Past these bounds the rest is not read: a longer line is
// cut, and a file that goes on for ever (or is a device) does not hold the reader up.
constexpr size_t kLongestLine = 64 * 1024;
constexpr size_t kMostRead = 64 * 1024 * 1024;
constexpr size_t kChunk = 16 * 1024;

// Reads an open file line by line into `lookup` until it has its answer.
void FeedFile(int fd, ProfileLookup& lookup) {
  std::string line;
  char chunk[kChunk];
  for (size_t total = 0; total < kMostRead;) {
    ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      break;
    total += static_cast<size_t>(n);
    for (ssize_t i = 0; i < n; ++i) {
      char c = chunk[i];
      if (c == '\n') {
        if (lookup.Feed(line))
          return;
        line.clear();
      } else if (line.size() < kLongestLine) {
        line.push_back(c);
      }
    }
  }
  lookup.Feed(line);
}
}  // namespace

std::string ReadProfileString(const char* section, const char* key, const char* fallback,
                              size_t size, const std::string& path) {
  ProfileLookup lookup(section, key);
  // Non-blocking, so that a named pipe in the file's place cannot hold the open up.
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd >= 0) {
    struct stat st {};
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
      FeedFile(fd, lookup);
    }
    ::close(fd);
  }
  return ProfileResult(lookup.value(), fallback, size);
}

}  // namespace tavorin
