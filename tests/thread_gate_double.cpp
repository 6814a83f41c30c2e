#include "tests/thread_gate_double.h"

#include <atomic>

#include "platform/thread.h"

namespace tavorin {

namespace {
std::atomic<int> refusals_left{0};
}  // namespace

namespace testing {
void FailThreadStarts(int count) {
  refusals_left.store(count);
}
}  // namespace testing

namespace detail {
bool ThreadStartRefused() {
  int left = refusals_left.load(std::memory_order_relaxed);
  while (left > 0) {
    if (refusals_left.compare_exchange_weak(left, left - 1))
      return true;
  }
  return false;
}
}  // namespace detail

}  // namespace tavorin
