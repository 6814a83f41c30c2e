// Runs the built tavorin binary in a directory of its own, on a pseudo-terminal of its own
// (in its foreground or its background) or with no terminal at all.
#pragma once

#include <sys/resource.h>
#include <sys/types.h>
#include <termios.h>

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tavorin::testing {

// Polls `done` every 5 ms until it holds (true) or `timeout_ms` have passed (false).
bool PollUntil(int timeout_ms, const std::function<bool()>& done);
// How many times `part` is found in `text`, overlapping ones included.
size_t Occurrences(std::string_view text, std::string_view part);

// A fresh directory under /tmp, removed with everything in it at the end.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  std::string File(std::string_view name) const { return path_ + "/" + std::string(name); }
  void Write(std::string_view name, std::string_view content) const;
  // The file's content, or nothing when it does not exist.
  std::optional<std::string> Read(std::string_view name) const;
  // Whether within `timeout_ms` the file is there and empty.
  bool BecomesEmpty(std::string_view name, int timeout_ms = 1000) const;
  // Whether within `timeout_ms` the file holds `text` `times` times or more.
  bool Holds(std::string_view name, std::string_view text, int times = 1,
             int timeout_ms = 10000) const;

 private:
  std::string path_;
};

// The path of the relay under test: the Windows one when TAVORIN_WINE_BINARY names it, which
// is then run under Wine; the one TAVORIN_RELAY names (a packaged one); else the built one.
std::string RelayBinary();
bool UnderWine();

enum class Terminal { kForeground, kBackground, kNone };

// Two neighbouring UDP ports, P and P + 1, free on this host just now.
uint16_t FreePortPair();
// Waits up to five seconds for `port` and `port` + 1 to be free: a relay ended under Wine lets
// go of its sockets a little after its process is gone.
void WaitUntilFree(uint16_t port);

// What becomes of the program's standard error.
enum class ErrorSink {
  kRead,    // the test reads it (Errors)
  kFull,    // a pipe already full that nobody reads
  kClosed,  // a pipe whose reader has gone
};

// How a program is started, beyond its directory.
struct Launch {
  Terminal terminal = Terminal::kForeground;
  std::string typed_before = {};          // waiting in the terminal's input when it starts
  std::string binary = {};                // the built relay when empty
  std::vector<int> closed = {};           // standard descriptors it starts without
  std::optional<uid_t> user = {};         // runs as this user (and its group), when root
  std::optional<rlim_t> open_files = {};  // soft and hard limit on its descriptors
  std::optional<rlim_t> stack = {};       // soft and hard limit on its stack
  ErrorSink errors = ErrorSink::kRead;
  std::vector<std::string> arguments = {};  // after the program's name
  std::vector<int> ignored_signals = {};    // ignored when it starts, as nohup leaves SIGHUP
  std::string preload = {};                 // a library preloaded into it (LD_PRELOAD)
  // Descriptors passed in as a service manager passes them, from 3 on, with their names
  // ($LISTEN_FDS, $LISTEN_FDNAMES, $LISTEN_PID).
  std::vector<std::pair<int, std::string>> passed = {};
  bool passed_to_another = false;  // $LISTEN_PID names another process
};

class RunningProgram {
 public:
  // Starts the program `launch` names (the built relay by default) with `directory` as its
  // working directory.
  explicit RunningProgram(const std::string& directory, const Launch& launch = {});
  ~RunningProgram();
  RunningProgram(const RunningProgram&) = delete;
  RunningProgram& operator=(const RunningProgram&) = delete;

  pid_t pid() const { return pid_; }

  // Standard output up to and including the `lines`-th line feed (less if it ends first or
  // nothing more comes within `timeout_ms`).
  std::string ReadLines(int lines, int timeout_ms = 5000);
  // The same of standard error, which the relay writes to while it runs.
  std::string ErrorLines(int lines, int timeout_ms = 10000);
  // All that is left on standard output or error, up to the program's end.
  std::string RestOfOutput(int timeout_ms = 2000) { return Drain(out_, timeout_ms); }
  std::string Errors(int timeout_ms = 2000) { return Drain(err_, timeout_ms); }

  // Bytes typed on the terminal.
  void Type(std::string_view bytes) const;
  // The terminal's settings now, as seen from its slave side.
  termios TerminalSettings() const;
  // Its settings before the program started, which the program must give back.
  const termios& InitialTerminalSettings() const { return initial_settings_; }
  // Changes them, as a shell does when it takes the terminal back.
  void SetTerminalSettings(const termios& settings) const;
  // Whether within `timeout_ms` the key wait has begun: the terminal has left line mode.
  bool KeyWaitBegins(int timeout_ms = 10000) const;
  // Whether within `timeout_ms` the process is stopped (by SIGSTOP or SIGTSTP).
  bool BecomesStopped(int timeout_ms = 10000) const;
  // Bytes waiting in the terminal's input; reading them puts the terminal in raw mode.
  std::string PendingInput() const;

  // The wait status once the program has ended, or nothing if it still runs after
  // `timeout_ms`.
  std::optional<int> WaitForExit(int timeout_ms = 2000);
  bool Running() { return !WaitForExit(0).has_value(); }
  void Signal(int signal_number) const;

 private:
  std::string Drain(int fd, int timeout_ms);
  std::string ReadLinesOf(int fd, int lines, int timeout_ms);

  pid_t pid_ = -1;
  std::optional<int> status_;
  int master_ = -1;
  int slave_ = -1;
  termios initial_settings_{};
  int out_ = -1;
  int err_ = -1;
};

bool SameSettings(const termios& a, const termios& b);

}  // namespace tavorin::testing
