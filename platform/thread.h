// A thread whose loop runs while its running state is set, and that is stopped from outside
// by clearing that state, waking the thread and joining it. Nothing ends a thread mid-way.
#pragma once

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdint>

#ifndef _WIN32
#include <pthread.h>
#endif

#include "platform/outcome.h"

namespace tavorin {

class StoppableThread {
 public:
  using Procedure = void (*)(void* argument);

  StoppableThread() = default;
  // Joins a thread that is still there; its owner must have woken it first.
  ~StoppableThread() { Join(); }
  StoppableThread(const StoppableThread&) = delete;
  StoppableThread& operator=(const StoppableThread&) = delete;

  // Sets the running state, then starts `procedure(argument)` on a new thread, so the state
  // is in place before the thread first tests it. `stack_size` 0 takes the system's default.
  // When no thread could be created the state is cleared, and the outcome says why.
  Outcome Start(Procedure procedure, void* argument, size_t stack_size = 0);

  // The loop's test: true until RequestStop.
  bool Running() const { return running_.load(std::memory_order_acquire); }

  // Clears the running state. The owner then wakes the thread and calls Join.
  void RequestStop() { running_.store(false, std::memory_order_release); }

  // Waits for the thread to return and releases it. Harmless when there is none.
  void Join();

  bool Started() const { return started_; }
  // Join for a thread blocked in a receive on a socket that must not be shut down (another
  // process keeps it): the thread is interrupted by a signal, again every 10 ms until it ends,
  // and its receive fails with the system's "interrupted" error. The running state must be
  // cleared first.
  void JoinWaking();

  // Asks the system to schedule the started thread for throughput: when woken it waits for
  // the running thread to yield instead of preempting it (SCHED_BATCH on Linux, which needs no
  // privilege). A thread in another class than the normal one (real-time, idle: the choice of
  // whoever started the program) stays in it. False where the system refuses or has no such
  // class, or the thread keeps its own; the thread then runs on as it was.
  // With a `slice`, the thread also asks for turns that short (Linux 6.12 on, which takes 100 us
  // to 100 ms; older systems and Windows keep their own): of the threads waiting for a
  // processor, the one with the shorter turn is chosen first, so that a thread that runs for
  // microseconds at a wake does not wait out the turns of threads that run for milliseconds.
  // The class may be asked before the thread has run; it then takes it as it starts.
  bool ScheduleForThroughput(std::chrono::microseconds slice = std::chrono::microseconds{0}) const;

  // Asks the system to run the started thread only when nothing else wants the processor
  // (SCHED_IDLE on Linux, the idle priority on Windows): for a thread that is about to end, so
  // that thousands ending at once wait for the threads still relaying instead of queueing
  // ahead of them. False where the system refuses.
  bool ScheduleLast() const;

  // What the native thread runs, with the object as its argument (it never moves); for the
  // system's part only.
  static void RunProcedure(void* self);

 private:
  // Each system's part: starts the native thread on RunProcedure(this), or returns its error;
  // waits for it and releases it.
  int StartNative(size_t stack_size);
  void JoinNative();

  std::atomic<bool> running_{false};
  bool started_ = false;
  Procedure procedure_ = nullptr;
  void* argument_ = nullptr;
#ifdef _WIN32
  void* handle_ = nullptr;                  // HANDLE
  static constexpr int kNoThreadError = 8;  // ERROR_NOT_ENOUGH_MEMORY
#else
  pthread_t handle_{};
  static constexpr int kNoThreadError = EAGAIN;
  // The system's number for the thread, once it has started (0 before), and the turn asked for
  // it (-1: no class asked), which the thread takes itself if it was asked before it knew its
  // number.
  std::atomic<int> system_id_{0};
  mutable std::atomic<int64_t> wanted_slice_us_{-1};
  // What the native thread runs: records its number, takes its class, then RunProcedure.
  static void* RunNative(void* self);
#endif
};

namespace detail {
#ifndef _WIN32
// The calling thread's number with the system, and a thread's class and turn set by that
// number (each system's own, thread_linux.cpp).
int ThisThreadSystemId();
bool ScheduleForThroughput(int system_id, std::chrono::microseconds slice);
#endif
// Asked at every thread start: whether to act as if the system had no thread to give. Here the
// answer is always no (thread_gate.cpp); tests of what happens then link an answer of their own
// in its place.
bool ThreadStartRefused();
}  // namespace detail

}  // namespace tavorin
