// StoppableThread on POSIX threads.
#include <pthread.h>
#include <sched.h>
#include <signal.h>

#include "platform/thread.h"

namespace tavorin {

namespace {
void* Run(void* self) {
  StoppableThread::RunProcedure(self);
  return nullptr;
}
}  // namespace

int StoppableThread::StartNative(size_t stack_size) {
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
  int error = pthread_create(&handle_, &attributes, Run, this);
  pthread_sigmask(SIG_SETMASK, &before, nullptr);
  pthread_attr_destroy(&attributes);
  return error;
}

void StoppableThread::JoinNative() {
  pthread_join(handle_, nullptr);
  handle_ = {};
}

bool StoppableThread::ScheduleForThroughput() const {
#ifdef SCHED_BATCH
  // A thread inherits the class of the one that started it. Another class than the normal one
  // was chosen by whoever started the relay (a real-time class, an idle one) and is kept.
  int policy = SCHED_OTHER;
  sched_param parameters{};
  if (!started_ || pthread_getschedparam(handle_, &policy, &parameters) != 0) {
    return false;
  }
  if (policy == SCHED_BATCH) {
    return true;
  }
  if (policy != SCHED_OTHER) {
    return false;
  }
  parameters = {};
  return pthread_setschedparam(handle_, SCHED_BATCH, &parameters) == 0;
#else
  return false;
#endif
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
