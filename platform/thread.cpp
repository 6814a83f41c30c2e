// What StoppableThread does alike on every system; the native thread's start and join are in
// thread_posix.cpp and thread_windows.cpp.
#include "platform/thread.h"

namespace tavorin {

Outcome StoppableThread::Start(Procedure procedure, void* argument, size_t stack_size) {
  Join();
  procedure_ = procedure;
  argument_ = argument;
  running_.store(true, std::memory_order_release);
  int error = detail::ThreadStartRefused() ? kNoThreadError : StartNative(stack_size);
  if (error != 0) {
    running_.store(false, std::memory_order_release);
    return Outcome::Failed(Step::kThread, error);
  }
  started_ = true;
  return Outcome();
}

void StoppableThread::Join() {
  if (started_) {
    JoinNative();
    started_ = false;
  }
  running_.store(false, std::memory_order_release);
}

void StoppableThread::RunProcedure(void* self) {
  const auto* thread = static_cast<const StoppableThread*>(self);
  thread->procedure_(thread->argument_);
}

}  // namespace tavorin
