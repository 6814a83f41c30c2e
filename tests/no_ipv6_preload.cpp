// Preloaded into the relay by tests, this makes the system look as if it had no IPv6 at all:
// every AF_INET6 socket is refused with EAFNOSUPPORT, as a kernel built without IPv6 refuses
// it. Other sockets are the system's.
#include <dlfcn.h>
#include <sys/socket.h>

#include <cerrno>

extern "C" int socket(int domain, int type, int protocol) {
  using Socket = int (*)(int, int, int);
  static const auto real = reinterpret_cast<Socket>(dlsym(RTLD_NEXT, "socket"));
  if (domain == AF_INET6) {
    errno = EAFNOSUPPORT;
    return -1;
  }
  return real(domain, type, protocol);
}
