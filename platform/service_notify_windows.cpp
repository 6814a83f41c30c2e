// ServiceNotifier on Windows: nothing is read from the environment and no socket is kept; run
// as a service, the states go to the service manager over the service's status handle (in a
// console every call does nothing).
#include "platform/service_notify.h"

#include "platform/service_common_windows.h"

namespace tavorin {

namespace {
// How often, while a stop is pending, a sign of progress goes to the manager.
constexpr auto kProgressInterval = std::chrono::seconds(1);
}  // namespace

ServiceNotifier::ServiceNotifier() = default;
ServiceNotifier::~ServiceNotifier() = default;
bool ServiceNotifier::Send(std::string_view, SocketHandle) {
  return true;
}
bool ServiceNotifier::StoreSocket(SocketHandle, std::string_view, bool) {
  return true;
}
bool ServiceNotifier::Resend() {
  return true;
}
void ServiceNotifier::SendState(std::string) {}
bool ServiceNotifier::ForgetSocket(std::string_view) {
  return true;
}
void ServiceNotifier::Ready() {
  ReportRunning();
}
void ServiceNotifier::Stopping() {
  ReportPending(SERVICE_STOP_PENDING, kStopHintMs);
}
void ServiceNotifier::Reloading() {}
void ServiceNotifier::Status(std::string_view) {}
// A drain may outlast the wait hint: its turns are the progress.
void ServiceNotifier::Turned() {
  const auto now = std::chrono::steady_clock::now();
  if (now - progress_sent_ < kProgressInterval || !StopPending())
    return;
  progress_sent_ = now;
  ReportPending(SERVICE_STOP_PENDING, kStopHintMs);
}

std::vector<PassedSocket> TakePassedSockets() {
  return {};
}

}  // namespace tavorin
