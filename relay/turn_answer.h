// A question other threads put to the receive thread, which answers it at its next turn and
// never waits for them: the asker raises a flag (or publishes something for the thread to
// take), then polls the number of answers until it reaches the one it waits for, its deadline
// passes, or the thread has stopped. The answer itself is the caller's: written before the
// number, read after it.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <thread>

#include "platform/thread.h"

namespace tavorin {

class TurnAnswer {
 public:
  // Asking threads: has the answering thread answer at its next turn.
  void Ask() { wanted_.store(true, std::memory_order_relaxed); }
  // The number of the latest answer; 0 before the first.
  uint64_t number() const { return number_.load(std::memory_order_acquire); }
  // Waits until answer `at_least` (or a later one) is in, up to `most`; false when it is not,
  // or when `answering` has stopped without it.
  bool Await(uint64_t at_least, std::chrono::milliseconds most,
             const StoppableThread& answering) const {
    const auto deadline = std::chrono::steady_clock::now() + most;
    while (number() < at_least) {
      if (std::chrono::steady_clock::now() >= deadline || !answering.Running())
        return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
  }

  // The answering thread: whether an answer was asked for since the last one.
  bool wanted() const { return wanted_.load(std::memory_order_relaxed); }
  // Once the answer is written: it is numbered `number` (higher than any before).
  void Answered(uint64_t number) {
    wanted_.store(false, std::memory_order_relaxed);
    number_.store(number, std::memory_order_release);
  }

 private:
  std::atomic<bool> wanted_{false};
  std::atomic<uint64_t> number_{0};
};

}  // namespace tavorin
