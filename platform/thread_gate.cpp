// The answer every program but a test's gives: a thread start is never refused here. Alone in
// its file, so that a test that links a gate of its own leaves this one out.
#include "platform/thread.h"

namespace tavorin::detail {

bool ThreadStartRefused() {
  return false;
}

}  // namespace tavorin::detail
