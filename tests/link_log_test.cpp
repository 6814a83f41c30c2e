// The link log on a standard output that takes only part of what it is given (a full disk, a
// pipe read slowly) or nothing (a log that could not be reopened): every line reaches it whole
// and in order, and what is still waiting is known.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include <gtest/gtest.h>

#include "app/link_log.h"
#include "platform/files.h"
#include "tests/program_checks.h"
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
  char rest[4096];  // all that the pipe holds
  if (const ssize_t n = read(pipe_ends[0], rest, sizeof rest); n > 0)
    out.append(rest, static_cast<size_t>(n));
  close(pipe_ends[0]);
  close(pipe_ends[1]);

  EXPECT_GT(waiting_after_first, 0u) << "the pipe took everything at once";
  EXPECT_EQ(log.Waiting(), 0u);
  size_t at = 0;
  for (int i = 0; i < kLines; ++i) {
    const size_t end = out.find('\n', at);
    ASSERT_NE(end, std::string::npos) << "line " << i << " missing";
    const std::string line = out.substr(at, end - at);
    EXPECT_TRUE(Contains(
        line, " tavorin link-made port=15000 client=127.0.0.1:40000 link=" + std::to_string(i)));
    EXPECT_EQ(line.size(), line.find(" link=") + 6 + std::to_string(i).size()) << line;
    at = end + 1;
  }
  EXPECT_EQ(at, out.size());
}

// A reload whose reopen failed leaves the null device as standard output: a line made then
// waits, up to a bound past which lines are lost and counted, and reaches the log that a later
// reopen has.
TEST(LinkLog, LinesWaitWhileTheLogCannotBeOpened) {
  TempDir dir;
  const int saved = dup(STDOUT_FILENO);
  ASSERT_GE(saved, 0);
  std::fflush(stdout);
  const bool failed = RedirectStandardOutput(dir.File("gone/packets.txt"), true).has_value();
  LinkLog log;
  log.Made(15000, {std::chrono::system_clock::now(), LoopbackEndpoint(40000), 51234});
  log.Flush();
  const uint64_t waiting = log.Waiting();
  // Past 4 MiB waiting, whole lines are dropped and counted (log_lines_lost).
  constexpr uint64_t kMore = 50000;
  for (uint64_t i = 0; i < kMore; ++i)
    log.Made(15000, {std::chrono::system_clock::now(), LoopbackEndpoint(40000), 1});
  log.Flush();
  EXPECT_GT(log.Lost(), 0u);
  EXPECT_EQ(log.Waiting() + log.Lost(), 1 + kMore);
  const bool reopened = !RedirectStandardOutput(dir.File("packets.txt"), true).has_value();
  log.Flush();
  std::fflush(stdout);
  dup2(saved, STDOUT_FILENO);
  close(saved);

  ASSERT_TRUE(failed) << "a log in a directory that is not there was opened";
  EXPECT_EQ(waiting, 1u) << "the line went to the null device";
  ASSERT_TRUE(reopened);
  EXPECT_EQ(log.Waiting(), 0u);
  EXPECT_TRUE(Contains(dir.Read("packets.txt").value_or(""),
                       " tavorin link-made port=15000 client=127.0.0.1:40000 link=51234\n"))
      << dir.Read("packets.txt").value_or("(none)");
}

}  // namespace
}  // namespace tavorin::testing
