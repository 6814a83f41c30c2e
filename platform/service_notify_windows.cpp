// ServiceNotifier on Windows, which has no such manager: nothing is read and nothing is sent.
#include "platform/service_notify.h"

namespace tavorin {

ServiceNotifier::ServiceNotifier() = default;
ServiceNotifier::~ServiceNotifier() = default;
void ServiceNotifier::Send(std::string_view) {}
void ServiceNotifier::Ready() {}
void ServiceNotifier::Stopping() {}
void ServiceNotifier::Reloading() {}
void ServiceNotifier::Status(std::string_view) {}
void ServiceNotifier::Watchdog() {}

}  // namespace tavorin
