// StoppableThread on POSIX threads.
#include <pthread.h>
#include <signal.h>
#include <cerrno>
#include <new>
#include <type_traits>

#include "platform/thread.h"

namespace tavorin {

static_assert(sizeof(pthread_t) <= sizeof(unsigned long) && std::is_integral_v<pthread_t>,
              "pthread_t is held as an integer");

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

bool StoppableThread::Start(Procedure procedure, void* argument, size_t stack_size) {
  Join();
  if (detail::ConsumeThreadStartFailure()) {
    return false;
  }
  auto* trampoline = new (std::nothrow) Trampoline{procedure, argument};
  if (trampoline == nullptr) {
    return false;
  }
  pthread_attr_t attributes;
  if (pthread_attr_init(&attributes) != 0) {
    delete trampoline;
    return false;
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
    errno = error;
    return false;
  }
  handle_ = thread;
  started_ = true;
  return true;
}

void StoppableThread::Join() {
  if (started_) {
    pthread_join(static_cast<pthread_t>(handle_), nullptr);
    started_ = false;
    handle_ = 0;
  }
  running_.store(false, std::memory_order_release);
}

}  // namespace tavorin
