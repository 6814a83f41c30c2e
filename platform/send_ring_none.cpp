// Where the system has no submission ring, or the build has no support for one: every flush
// takes the socket calls.
#include "platform/send_queue.h"

namespace tavorin {

std::unique_ptr<SendRing> SendRing::Open() {
  return nullptr;
}

}  // namespace tavorin
