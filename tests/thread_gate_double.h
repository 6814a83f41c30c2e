// The thread gate that tests link in place of the program's: it refuses as many thread starts
// as it is told to, as a system with no thread to give would.
#pragma once

namespace tavorin::testing {

// Makes the next `count` thread starts fail.
void FailThreadStarts(int count);

}  // namespace tavorin::testing
