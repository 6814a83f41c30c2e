// The part of StoppableThread that is the same on every system.
#include "platform/thread.h"

namespace tavorin {

namespace {
std::atomic<int> thread_start_failures{0};
}  // namespace

void FailThreadStartsForTesting(int count) {
  thread_start_failures.store(count);
}

namespace detail {
bool ConsumeThreadStartFailure() {
  int left = thread_start_failures.load(std::memory_order_relaxed);
  while (left > 0) {
    if (thread_start_failures.compare_exchange_weak(left, left - 1)) {
      return true;
    }
  }
  return false;
}
}  // namespace detail

}  // namespace tavorin
