#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "platform/files.h"
#include "platform/taken_signals_linux.h"

namespace tavorin {

void RaiseOpenFileLimit() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &limit);
  }
}

void PrepareStandardStreams() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF)
      continue;
    // The lowest free number is `fd` itself, since those below it are open by now.
    int null = ::open("/dev/null", O_RDWR);
    if (null >= 0 && null != fd) {
      ::dup2(null, fd);
      ::close(null);
    }
  }
  ::signal(SignalOf(SignalRole::kIgnored), SIG_IGN);
}

namespace {
// Whether standard output, as it now is, has been made non-blocking for the log's writes.
bool output_nonblocking = false;
// Whether it is the null device in place of a log that could not be opened.
bool output_lost = false;

// Opens what the symbolic link at `path` names, if root owns the link. The link judged is the
// link followed: it is held open while its owner is looked at and its target read, so that
// another cannot be swapped in between; the target is opened without following a further
// link.
int OpenThroughRootsLink(const std::string& path, int flags, std::optional<std::string>* failure) {
  const int link = ::open(path.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
  if (link < 0) {
    *failure = std::strerror(errno);
    return -1;
  }
  struct stat seen {};
  char target[4096];
  ssize_t length = -1;
  if (::fstat(link, &seen) == 0 && S_ISLNK(seen.st_mode) && seen.st_uid == 0)
    length = ::readlinkat(link, "", target, sizeof target - 1);
  ::close(link);
  if (!S_ISLNK(seen.st_mode)) {
    *failure = std::strerror(ELOOP);  // a loop further up the path
    return -1;
  }
  if (seen.st_uid != 0) {
    *failure = "a symbolic link owned by another user, not followed when run as root";
    return -1;
  }
  if (length <= 0) {
    *failure = std::strerror(errno);
    return -1;
  }
  target[length] = '\0';
  std::string named = target;
  if (named.front() != '/') {
    const size_t slash = path.rfind('/');
    named = (slash == std::string::npos ? std::string() : path.substr(0, slash + 1)) + named;
  }
  const int fd = ::open(named.c_str(), flags | O_NOFOLLOW, 0666);
  if (fd < 0)
    *failure = std::strerror(errno);
  return fd;
}
}  // namespace

std::optional<std::string> RedirectStandardOutput(const std::string& path, bool append) {
  std::fflush(stdout);
  const int flags =
      O_WRONLY | O_CREAT | (append ? O_APPEND : O_TRUNC) | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
  // Run as root, a symbolic link is followed only when root owns it: one that another user
  // planted in a directory they can write would have root empty a file of its choosing.
  const bool root = ::geteuid() == 0;
  int fd = ::open(path.c_str(), flags | (root ? O_NOFOLLOW : 0), 0666);
  std::optional<std::string> failure;
  if (fd < 0 && root && errno == ELOOP)
    fd = OpenThroughRootsLink(path, flags, &failure);
  output_lost = fd < 0;
  if (fd < 0) {
    if (!failure)
      failure = std::strerror(errno);
    fd = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (fd < 0)
      return failure;
  }
  // The open was not to wait; writes may, as they would on any standard output.
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  if (fd != STDOUT_FILENO) {
    ::dup2(fd, STDOUT_FILENO);  // closes the standard output the program was started with
    ::close(fd);
  }
  output_nonblocking = false;
  std::clearerr(stdout);
  return failure;
}

size_t WriteStandardOutputNow(std::string_view text) {
  if (output_lost)
    return 0;
  // Standard output is by now the log this process opened for itself (or the null device), so
  // making it non-blocking changes nothing for anyone else.
  if (!output_nonblocking) {
    ::fcntl(STDOUT_FILENO, F_SETFL, ::fcntl(STDOUT_FILENO, F_GETFL) | O_NONBLOCK);
    output_nonblocking = true;
  }
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = ::write(STDOUT_FILENO, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      break;
    done += static_cast<size_t>(n);
  }
  return done;
}

bool StandardErrorReady() {
  pollfd p{STDERR_FILENO, POLLOUT, 0};
  return ::poll(&p, 1, 0) == 1 && p.revents == POLLOUT;  // not while its reader has gone
}

// The stream has room by now, and a line is shorter than what a pipe takes at once.
void WriteStandardErrorLine(std::string_view line) {
  std::fprintf(stderr, "%.*s\n", static_cast<int>(line.size()), line.data());
}

void FlushStandardError(std::chrono::milliseconds) {}

}  // namespace tavorin
