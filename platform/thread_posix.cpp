// StoppableThread on POSIX threads.
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <cerrno>
#include <new>

#include "platform/thread.h"

namespace tavorin {

namespace {
struct Trampoline {
  StoppableThread::Procedure procedure;
  void* argument;
};

void* Run(void* raw) {
  Trampoline t = *static_cast<Trampoline*>(raw);
  delete static_cast<Trampoline*>(raw);
  t.procedure(t.argument);
  return nullptr;
}
}  // namespace

Outcome StoppableThread::Start(Procedure procedure, void* argument, size_t stack_size) {
  Join();
  if (detail::ThreadStartRefused()) {
    return Outcome::Failed(Step::kThread, EAGAIN);
  }
  auto* trampoline = new (std::nothrow) Trampoline{procedure, argument};
  if (trampoline == nullptr) {
    return Outcome::Failed(Step::kMemory, ENOMEM);
  }
  pthread_attr_t attributes;
  if (int error = pthread_attr_init(&attributes); error != 0) {
    delete trampoline;
    return Outcome::Failed(Step::kThread, error);
  }
  if (stack_size != 0) {
    pthread_attr_setstacksize(&attributes, stack_size);
  }
  running_.store(true, std::memory_order_release);
  // The new thread starts with every signal blocked, so that signals sent to the process are
  // handled on the thread that started the relay.
  sigset_t all;
  sigset_t before;
  sigfillset(&all);
  pthread_sigmask(SIG_BLOCK, &all, &before);
  pthread_t thread;
  int error = pthread_create(&thread, &attributes, Run, trampoline);
  pthread_sigmask(SIG_SETMASK, &before, nullptr);
  pthread_attr_destroy(&attributes);
  if (error != 0) {
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
    pthread_join(handle_, nullptr);
    started_ = false;
    handle_ = {};
  }
  running_.store(false, std::memory_order_release);
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
