// ServiceNotifier on Windows, which has no such manager: nothing is read and nothing is sent.
#include "platform/service_notify.h"

namespace tavorin {

ServiceNotifier::ServiceNotifier() = default;
ServiceNotifier::~ServiceNotifier() = default;
bool ServiceNotifier::Send(std::string_view, SocketHandle) {
  return true;
}
bool ServiceNotifier::StoreSocket(SocketHandle, std::string_view) {
  return true;
}
bool ServiceNotifier::ForgetSocket(std::string_view) {
  return true;
}
void ServiceNotifier::Ready() {}
void ServiceNotifier::Stopping() {}
void ServiceNotifier::Reloading() {}
void ServiceNotifier::Status(std::string_view) {}
void ServiceNotifier::Watchdog() {}

std::vector<PassedSocket> TakePassedSockets() {
  return {};
}

}  // namespace tavorin
