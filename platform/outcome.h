// The result of asking the system for a socket or a thread: done, or which step failed and the
// system's own error code for it.
#pragma once

#include <cstdint>
#include <string>

namespace tavorin {

enum class Step : uint8_t {
  kNone,      // nothing failed
  kSocket,    // no socket could be created
  kBind,      // the socket could not be bound to its port
  kThread,    // no thread could be started
  kMemory,    // no memory for the bookkeeping
  kLimit,     // the limit on links set for the relay was reached (the error is the limit)
  kDraining,  // the relay is stopping and takes no new client
};

class Outcome {
 public:
  Outcome() = default;  // done
  static Outcome Failed(Step step, int error) { return Outcome(step, error); }

  explicit operator bool() const { return step_ == Step::kNone; }
  Step step() const { return step_; }
  // errno, or the Windows error code, of the failed call.
  int error() const { return error_; }

 private:
  Outcome(Step step, int error) : step_(step), error_(error) {}
  Step step_ = Step::kNone;
  int error_ = 0;
};

// The system's words for an error code (errno, or a Windows Sockets or Win32 error).
std::string ErrorText(int error);

}  // namespace tavorin
