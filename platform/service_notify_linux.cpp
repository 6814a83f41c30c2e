// ServiceNotifier on Linux: datagrams to the manager's AF_UNIX socket, a path or a name in the
// abstract namespace.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

#include "platform/service_notify.h"

namespace tavorin {

namespace {

// The whole of `text` as a positive decimal number, or nothing.
template <typename Number>
std::optional<Number> PositiveNumber(const char* text) {
  if (text == nullptr)
    return std::nullopt;
  const char* end = text + std::strlen(text);
  Number value{};
  auto [stop, error] = std::from_chars(text, end, value);
  if (error != std::errc() || stop != end || stop == text || value <= 0)
    return std::nullopt;
  return value;
}

std::chrono::microseconds WatchdogFromEnvironment() {
  auto interval = PositiveNumber<long long>(std::getenv("WATCHDOG_USEC"));
  if (!interval)
    return {};
  // Set for another process (one that started this one and kept the variables, say): not ours.
  if (const char* pid = std::getenv("WATCHDOG_PID"); pid != nullptr) {
    if (PositiveNumber<pid_t>(pid) != ::getpid())
      return {};
  }
  return std::min(std::chrono::microseconds(*interval), ServiceNotifier::kLongestWatchdog);
}

}  // namespace

ServiceNotifier::ServiceNotifier() : watchdog_interval_(WatchdogFromEnvironment()) {
  const char* name = std::getenv("NOTIFY_SOCKET");
  if (name == nullptr)
    return;
  std::string address = name;
  // A path has its terminating NUL within sun_path; an abstract name takes all of it.
  const bool abstract = address.size() >= 2 && address[0] == '@';
  const bool path = !address.empty() && address[0] == '/';
  const size_t room = sizeof(sockaddr_un::sun_path);
  if (!(abstract && address.size() <= room) && !(path && address.size() < room))
    return;  // nothing this process could send to (a vsock address, a relative path, junk)
  if (abstract)
    address[0] = '\0';
  socket_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (socket_ >= 0)
    address_ = std::move(address);
}

ServiceNotifier::~ServiceNotifier() {
  if (socket_ >= 0)
    ::close(socket_);
}

bool ServiceNotifier::Send(std::string_view message, SocketHandle attached) {
  if (socket_ < 0)
    return true;
  sockaddr_un to{};
  to.sun_family = AF_UNIX;
  std::memcpy(to.sun_path, address_.data(), address_.size());
  iovec text{const_cast<char*>(message.data()), message.size()};
  msghdr header{};
  header.msg_name = &to;
  header.msg_namelen = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + address_.size());
  header.msg_iov = &text;
  header.msg_iovlen = 1;
  alignas(cmsghdr) unsigned char control[CMSG_SPACE(sizeof(int))] = {};
  if (attached != kNoSocket) {
    header.msg_control = control;
    header.msg_controllen = sizeof control;
    cmsghdr* rights = CMSG_FIRSTHDR(&header);
    rights->cmsg_level = SOL_SOCKET;
    rights->cmsg_type = SCM_RIGHTS;
    rights->cmsg_len = CMSG_LEN(sizeof(int));
    std::memcpy(CMSG_DATA(rights), &attached, sizeof(int));
  }
  // MSG_DONTWAIT as well as the socket's own O_NONBLOCK: a manager that does not read its
  // socket must never hold up the main thread.
  ssize_t sent;
  while ((sent = ::sendmsg(socket_, &header, MSG_DONTWAIT | MSG_NOSIGNAL)) < 0 && errno == EINTR) {
  }
  return sent >= 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != ENOBUFS);
}

bool ServiceNotifier::StoreSocket(SocketHandle socket, std::string_view name, bool watched) {
  if (!Resend())
    return false;  // what the manager must hear first goes first
  std::string message = "FDSTORE=1\nFDNAME=";
  message += name;
  if (!watched)
    message += "\nFDPOLL=0";
  return Send(message, socket);
}

bool ServiceNotifier::ForgetSocket(std::string_view name) {
  if (!Resend())
    return false;
  std::string message = "FDSTOREREMOVE=1\nFDNAME=";
  message += name;
  return Send(message);
}

bool ServiceNotifier::Resend() {
  while (!unsent_.empty()) {
    if (!Send(unsent_.front()))
      return false;
    unsent_.pop_front();
  }
  return true;
}

void ServiceNotifier::SendState(std::string message) {
  if (Resend() && Send(message))
    return;
  constexpr std::string_view kStatus = "STATUS=";
  if (message.compare(0, kStatus.size(), kStatus) == 0) {
    for (std::string& waiting : unsent_) {
      if (waiting.compare(0, kStatus.size(), kStatus) == 0) {
        waiting = std::move(message);
        return;
      }
    }
  }
  // At most one of each: the same message twice in a row says nothing more.
  if (unsent_.empty() || unsent_.back() != message)
    unsent_.push_back(std::move(message));
}

void ServiceNotifier::Ready() {
  SendState("READY=1");
}

void ServiceNotifier::Stopping() {
  SendState("STOPPING=1");
}

void ServiceNotifier::Reloading() {
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  const long long usec = static_cast<long long>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
  SendState("RELOADING=1\nMONOTONIC_USEC=" + std::to_string(usec));
}

void ServiceNotifier::Status(std::string_view text) {
  std::string message = "STATUS=";
  message += text;
  for (size_t at = 7; at < message.size(); ++at) {
    if (message[at] == '\n' || message[at] == '\0')
      message[at] = ' ';
  }
  SendState(std::move(message));
}

void ServiceNotifier::Turned() {
  Resend();
  if (watchdog_interval_.count() == 0)
    return;
  const auto now = std::chrono::steady_clock::now();
  if (progress_ever_sent_ && now - progress_sent_ < watchdog_interval_ / 4)
    return;
  progress_sent_ = now;
  progress_ever_sent_ = true;
  SendState("WATCHDOG=1");
}

std::vector<PassedSocket> TakePassedSockets() {
  // Descriptors passed in start at 3.
  constexpr int kFirstPassed = 3;
  std::vector<PassedSocket> passed;
  const auto count = PositiveNumber<int>(std::getenv("LISTEN_FDS"));
  const auto pid = PositiveNumber<pid_t>(std::getenv("LISTEN_PID"));
  const char* names = std::getenv("LISTEN_FDNAMES");
  std::string_view rest = names != nullptr ? names : "";
  // As many as the process may have open, at most: the rest are no descriptors of ours.
  rlimit most{};
  const bool bounded = ::getrlimit(RLIMIT_NOFILE, &most) == 0 && most.rlim_cur != RLIM_INFINITY;
  if (count && pid == ::getpid() &&
      (!bounded || static_cast<rlim_t>(*count) <= most.rlim_cur - kFirstPassed)) {
    for (int k = 0; k < *count; ++k) {
      const size_t colon = std::min(rest.find(':'), rest.size());
      std::string name(rest.substr(0, colon));
      rest.remove_prefix(std::min(colon + 1, rest.size()));
      const int fd = kFirstPassed + k;
      ::fcntl(fd, F_SETFD, FD_CLOEXEC);
      passed.push_back({fd, name.empty() ? "unknown" : name});
    }
  } else if (count && pid && (!bounded || static_cast<rlim_t>(*count) <= most.rlim_cur)) {
    // Passed to another process (the one that started this one kept the variables): what of
    // it came along is no socket of this run, and a listening socket among them would hold the
    // very port this one binds.
    for (int k = 0; k < *count; ++k) {
      struct stat status {};
      if (::fstat(kFirstPassed + k, &status) == 0 && S_ISSOCK(status.st_mode))
        ::close(kFirstPassed + k);
    }
  }
  ::unsetenv("LISTEN_FDS");
  ::unsetenv("LISTEN_PID");
  ::unsetenv("LISTEN_FDNAMES");
  return passed;
}

}  // namespace tavorin
