// StoppableThread on Win32 threads.
#include <windows.h>

#include <new>

#include "platform/thread.h"

namespace tavorin {

namespace {
struct Trampoline {
  StoppableThread::Procedure procedure;
  void* argument;
};

DWORD WINAPI Run(LPVOID raw) {
  Trampoline t = *static_cast<Trampoline*>(raw);
  delete static_cast<Trampoline*>(raw);
  t.procedure(t.argument);
  return 0;
}
}  // namespace

Outcome StoppableThread::Start(Procedure procedure, void* argument, size_t stack_size) {
  Join();
  if (detail::ThreadStartRefused())
    return Outcome::Failed(Step::kThread, ERROR_NOT_ENOUGH_MEMORY);
  auto* trampoline = new (std::nothrow) Trampoline{procedure, argument};
  if (trampoline == nullptr)
    return Outcome::Failed(Step::kMemory, ERROR_NOT_ENOUGH_MEMORY);
  running_.store(true, std::memory_order_release);
  HANDLE thread = CreateThread(nullptr, stack_size, Run, trampoline,
                               stack_size != 0 ? STACK_SIZE_PARAM_IS_A_RESERVATION : 0, nullptr);
  if (thread == nullptr) {
    int error = static_cast<int>(GetLastError());
    running_.store(false, std::memory_order_release);
    delete trampoline;
    return Outcome::Failed(Step::kThread, error);
  }
  handle_ = thread;
  started_ = true;
  return Outcome();
}

void StoppableThread::Join() {
  if (started_) {
    WaitForSingleObject(static_cast<HANDLE>(handle_), INFINITE);
    CloseHandle(static_cast<HANDLE>(handle_));
    started_ = false;
    handle_ = nullptr;
  }
  running_.store(false, std::memory_order_release);
}

// Windows has no scheduling class that waives preemption on wake-up.
bool StoppableThread::ScheduleForThroughput() const {
  return false;
}

bool StoppableThread::ScheduleLast() const {
  return handle_ != nullptr && SetThreadPriority(handle_, THREAD_PRIORITY_IDLE) != 0;
}

}  // namespace tavorin
