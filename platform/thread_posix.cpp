// StoppableThread on POSIX threads.
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <time.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <mutex>

#include "platform/taken_signals_linux.h"
#include "platform/thread.h"

namespace tavorin {

namespace {
constexpr int kWakeSignal = SignalOf(SignalRole::kThreadWake);

// The wake signal only interrupts the call it comes in: no SA_RESTART, and nothing done.
void Woken(int) {}

}  // namespace

void* StoppableThread::RunNative(void* self) {
  sigset_t wake;
  sigemptyset(&wake);
  sigaddset(&wake, kWakeSignal);
  pthread_sigmask(SIG_UNBLOCK, &wake, nullptr);
  auto* thread = static_cast<StoppableThread*>(self);
  // A class asked before the number was known is taken here; one asked after it is set by
  // whoever asked. Either way, or both, it is set.
  thread->system_id_.store(detail::ThisThreadSystemId());
  if (const int64_t slice = thread->wanted_slice_us_.load(); slice >= 0)
    detail::ScheduleForThroughput(0, std::chrono::microseconds(slice));
  RunProcedure(self);
  return nullptr;
}

int StoppableThread::StartNative(size_t stack_size) {
  static std::once_flag handler_set;
  std::call_once(handler_set, [] {
    struct sigaction action {};
    action.sa_handler = Woken;
    sigemptyset(&action.sa_mask);
    sigaction(kWakeSignal, &action, nullptr);
  });
  pthread_attr_t attributes;
  if (int error = pthread_attr_init(&attributes); error != 0)
    return error;
  if (stack_size != 0)
    pthread_attr_setstacksize(&attributes, stack_size);
  // The new thread starts with every signal blocked, so that signals sent to the process are
  // handled on the thread that started the relay.
  sigset_t all;
  sigset_t before;
  sigfillset(&all);
  pthread_sigmask(SIG_BLOCK, &all, &before);
  system_id_.store(0);
  wanted_slice_us_.store(-1);
  int error = pthread_create(&handle_, &attributes, RunNative, this);
  pthread_sigmask(SIG_SETMASK, &before, nullptr);
  pthread_attr_destroy(&attributes);
  return error;
}

void StoppableThread::JoinNative() {
  pthread_join(handle_, nullptr);
  handle_ = {};
}

void StoppableThread::JoinWaking() {
  if (!started_)
    return;
  // A signal sent before the thread blocks is lost; the next one, 10 ms on, comes in time.
  for (;;) {
    pthread_kill(handle_, kWakeSignal);
    timespec until{};
    clock_gettime(CLOCK_REALTIME, &until);
    until.tv_nsec += 10 * 1000 * 1000;
    if (until.tv_nsec >= 1000 * 1000 * 1000) {
      until.tv_nsec -= 1000 * 1000 * 1000;
      ++until.tv_sec;
    }
    if (pthread_timedjoin_np(handle_, nullptr, &until) != ETIMEDOUT)
      break;
  }
  handle_ = {};
  started_ = false;
}

bool StoppableThread::ScheduleForThroughput(std::chrono::microseconds slice) const {
  if (!started_)
    return false;
  wanted_slice_us_.store(slice.count());
  const int id = system_id_.load();
  return id == 0 || detail::ScheduleForThroughput(id, slice);
}

bool StoppableThread::ScheduleLast() const {
#ifdef SCHED_IDLE
  sched_param parameters{};
  return started_ && pthread_setschedparam(handle_, SCHED_IDLE, &parameters) == 0;
#else
  return false;
#endif
}

}  // namespace tavorin
