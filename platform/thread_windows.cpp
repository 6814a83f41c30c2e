// StoppableThread on Win32 threads.
#include <windows.h>

#include "platform/thread.h"

namespace tavorin {

namespace {
DWORD WINAPI Run(LPVOID self) {
  StoppableThread::RunProcedure(self);
  return 0;
}
}  // namespace

int StoppableThread::StartNative(size_t stack_size) {
  HANDLE thread = CreateThread(nullptr, stack_size, Run, this,
                               stack_size != 0 ? STACK_SIZE_PARAM_IS_A_RESERVATION : 0, nullptr);
  if (thread == nullptr)
    return static_cast<int>(GetLastError());
  handle_ = thread;
  return 0;
}

void StoppableThread::JoinNative() {
  WaitForSingleObject(static_cast<HANDLE>(handle_), INFINITE);
  CloseHandle(static_cast<HANDLE>(handle_));
  handle_ = nullptr;
}

// No socket is ever kept past the process on Windows: a shut-down socket wakes its thread.
void StoppableThread::JoinWaking() {
  Join();
}

// Windows has no scheduling class that waives preemption on wake-up.
bool StoppableThread::ScheduleForThroughput(std::chrono::microseconds) const {
  return false;
}

bool StoppableThread::ScheduleLast() const {
  return handle_ != nullptr && SetThreadPriority(handle_, THREAD_PRIORITY_IDLE) != 0;
}

}  // namespace tavorin
