// The link log on a standard output that takes only part of what it is given (a full disk, a
// pipe read slowly): every line reaches it whole and in order, and what is still waiting is
// known.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include <gtest/gtest.h>

#include "app/link_log.h"
#include "tests/udp_peer.h"

namespace tavorin::testing {
namespace {

TEST(LinkLog, ShortWritesLeaveNoHalfLine) {
  int pipe_ends[2];
  ASSERT_EQ(pipe2(pipe_ends, O_NONBLOCK | O_CLOEXEC), 0);
  ASSERT_GT(fcntl(pipe_ends[1], F_SETPIPE_SZ, 4096), 0);
  const int saved = dup(STDOUT_FILENO);
  ASSERT_GE(saved, 0);
  std::fflush(stdout);  // what the test runner wrote goes where it was meant to, not the pipe
  dup2(pipe_ends[1], STDOUT_FILENO);

  constexpr int kLines = 300;
  LinkLog log;
  for (int i = 0; i < kLines; ++i)
    log.Made(15000, {std::chrono::system_clock::now(), LoopbackEndpoint(40000), uint16_t(i)});
  std::string out;
  uint64_t waiting_after_first = 0;
  for (int turn = 0; turn < 1000 && (turn == 0 || log.Waiting() > 0); ++turn) {
    log.Flush();
    if (turn == 0)
      waiting_after_first = log.Waiting();
    char chunk[1000];  // less than the pipe holds: writes come out short
    ssize_t n = read(pipe_ends[0], chunk, sizeof chunk);
    if (n > 0)
      out.append(chunk, static_cast<size_t>(n));
  }
  std::fflush(stdout);
  dup2(saved, STDOUT_FILENO);
  close(saved);
  for (char chunk[4096]; true;) {
    ssize_t n = read(pipe_ends[0], chunk, sizeof chunk);
    if (n <= 0)
      break;
    out.append(chunk, static_cast<size_t>(n));
  }
  close(pipe_ends[0]);
  close(pipe_ends[1]);

  EXPECT_GT(waiting_after_first, 0u) << "the pipe took everything at once";
  EXPECT_EQ(log.Waiting(), 0u);
  size_t at = 0;
  for (int i = 0; i < kLines; ++i) {
    const size_t end = out.find('\n', at);
    ASSERT_NE(end, std::string::npos) << "line " << i << " missing";
    const std::string line = out.substr(at, end - at);
    EXPECT_NE(
        line.find(" tavorin link-made port=15000 client=127.0.0.1:40000 link=" + std::to_string(i)),
        std::string::npos)
        << line;
    EXPECT_EQ(line.size(), line.find(" link=") + 6 + std::to_string(i).size()) << line;
    at = end + 1;
  }
  EXPECT_EQ(at, out.size());
}

}  // namespace
}  // namespace tavorin::testing
