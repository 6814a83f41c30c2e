// ServiceNotifier on Linux: datagrams to the manager's AF_UNIX socket, a path or a name in the
// abstract namespace.
#include <sys/socket.h>
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

void ServiceNotifier::Send(std::string_view message) {
  if (socket_ < 0)
    return;
  sockaddr_un to{};
  to.sun_family = AF_UNIX;
  std::memcpy(to.sun_path, address_.data(), address_.size());
  const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + address_.size());
  // MSG_DONTWAIT as well as the socket's own O_NONBLOCK: a manager that does not read its
  // socket must never hold up the main thread.
  while (::sendto(socket_, message.data(), message.size(), MSG_DONTWAIT | MSG_NOSIGNAL,
                  reinterpret_cast<const sockaddr*>(&to), length) < 0 &&
         errno == EINTR) {
  }
}

void ServiceNotifier::Ready() {
  Send("READY=1");
}

void ServiceNotifier::Stopping() {
  Send("STOPPING=1");
}

void ServiceNotifier::Reloading() {
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  const long long usec = static_cast<long long>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
  Send("RELOADING=1\nMONOTONIC_USEC=" + std::to_string(usec));
}

void ServiceNotifier::Status(std::string_view text) {
  std::string message = "STATUS=";
  message += text;
  for (size_t at = 7; at < message.size(); ++at) {
    if (message[at] == '\n' || message[at] == '\0')
      message[at] = ' ';
  }
  Send(message);
}

void ServiceNotifier::Watchdog() {
  if (watchdog_interval_.count() == 0)
    return;
  const auto now = std::chrono::steady_clock::now();
  if (watchdog_ever_sent_ && now - watchdog_sent_ < watchdog_interval_ / 4)
    return;
  watchdog_sent_ = now;
  watchdog_ever_sent_ = true;
  Send("WATCHDOG=1");
}

}  // namespace tavorin
