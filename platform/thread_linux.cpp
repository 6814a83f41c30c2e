// A thread's class and turn on Linux: sched_getattr and sched_setattr, which glibc does not wrap.
#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>

#include "platform/thread.h"

namespace tavorin::detail {

namespace {
// The system's record of a thread's class (the first version of it, which every kernel that
// has these calls takes).
struct SchedulingAttributes {
  uint32_t size;
  uint32_t policy;
  uint64_t flags;
  int32_t nice;
  uint32_t priority;
  uint64_t runtime;  // for the normal and batch classes: the turn asked for, in ns (6.12 on)
  uint64_t deadline;
  uint64_t period;
};
}  // namespace

int ThisThreadSystemId() {
  return static_cast<int>(::syscall(SYS_gettid));
}

bool ScheduleForThroughput(int system_id, std::chrono::microseconds slice) {
  SchedulingAttributes attributes{};
  if (::syscall(SYS_sched_getattr, system_id, &attributes, sizeof attributes, 0) != 0)
    return false;
  // A class other than the normal one was chosen by whoever started the relay, and is kept.
  if (attributes.policy != SCHED_OTHER && attributes.policy != SCHED_BATCH)
    return false;
  const int32_t nice = attributes.nice;
  attributes = {};
  attributes.size = sizeof attributes;
  attributes.policy = SCHED_BATCH;
  attributes.nice = nice;
  attributes.runtime = static_cast<uint64_t>(slice.count()) * 1000;
  if (::syscall(SYS_sched_setattr, system_id, &attributes, 0) == 0)
    return true;
  // A system that knows no turn for this class takes the class alone.
  attributes.runtime = 0;
  return ::syscall(SYS_sched_setattr, system_id, &attributes, 0) == 0;
}

}  // namespace tavorin::detail
