// The console key test on a POSIX terminal.
//
// The controlling terminal (/dev/tty, never standard input) is put into non-canonical mode
// without echo while the relay waits, so that a single key shows without Enter; signals from
// the keyboard (Ctrl+C) still work. Any pending byte is a key press, and it is left unread.
// The terminal is touched only while this process is in its foreground: started in the
// background, the relay never changes it nor gets stopped by it. Whatever way the program
// ends (normally, or by a second Ctrl+C, SIGTERM or SIGHUP, or SIGQUIT: the last words that
// ControlSignals says) the settings it found are put back first, with TCSANOW so that pending
// input is kept. Ctrl+Z gives them back too, and they are applied again at the next test once
// the relay is back in the foreground, as they are whenever a test finds them changed.
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cassert>
#include <cerrno>

#include "platform/console_keys.h"
#include "platform/control_signals.h"
#include "platform/outcome.h"
#include "platform/taken_signals_linux.h"

namespace tavorin {

namespace {
constexpr int kTerminalStop = SignalOf(SignalRole::kTerminalStop);

// The process's one terminal, and everything the key test keeps about it, in one place: the
// signal handlers below reach it too, so it cannot live in a ConsoleKeys object.
struct Terminal {
  bool tried = false;  // the open has been tried
  int tty = -1;        // the controlling terminal, or -1
  int open_error = 0;  // why it could not be opened, when it is there
  termios found{};     // the settings it had when the waiting mode was last applied
  std::atomic<bool> applied{false};
  struct sigaction previous_stop;
  bool handlers_installed = false;
  bool in_use = false;  // a ConsoleKeys exists
};
Terminal terminal;
static_assert(std::atomic<bool>::is_always_lock_free, "read in signal handlers");

bool InForeground() {
  pid_t group = ::tcgetpgrp(terminal.tty);
  return group != -1 && group == ::getpgrp();
}

// Async-signal-safe.
void GiveTerminalBack() {
  if (terminal.applied.exchange(false) && InForeground()) {
    ::tcsetattr(terminal.tty, TCSANOW, &terminal.found);
  }
}

void OnStopSignal(int);

void InstallStopHandler() {
  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  ::sigaction(kTerminalStop, &action, nullptr);
}

void OnStopSignal(int) {
  int saved_errno = errno;
  GiveTerminalBack();
  ::signal(kTerminalStop, SIG_DFL);
  ::raise(kTerminalStop);
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, kTerminalStop);
  ::pthread_sigmask(SIG_UNBLOCK, &stop, nullptr);  // the process stops here until continued
  InstallStopHandler();
  errno = saved_errno;
}

void InstallHandlers() {
  ::sigaction(kTerminalStop, nullptr, &terminal.previous_stop);
  InstallStopHandler();
  // Said before a signal, or a second stop request, ends the process at once.
  SetLastWords(GiveTerminalBack);
  terminal.handlers_installed = true;
}

// Sets the waiting mode; the signals that give the terminal back are held off meanwhile.
void ApplyWaitingMode() {
  sigset_t all;
  sigset_t before;
  sigfillset(&all);
  ::pthread_sigmask(SIG_BLOCK, &all, &before);
  if (!terminal.handlers_installed)
    InstallHandlers();
  termios waiting{};
  if (::tcgetattr(terminal.tty, &terminal.found) == 0) {
    waiting = terminal.found;
    waiting.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
    waiting.c_cc[VMIN] = 1;
    waiting.c_cc[VTIME] = 0;
    terminal.applied.store(true);
    if (::tcsetattr(terminal.tty, TCSANOW, &waiting) != 0)
      terminal.applied.store(false);
  }
  ::pthread_sigmask(SIG_SETMASK, &before, nullptr);
}

// Whether something else has put the terminal back into line mode since the waiting mode was
// applied: a shell does so when the relay is stopped (SIGSTOP, which no handler sees) and
// continued.
bool WaitingModeGone() {
  termios now{};
  return ::tcgetattr(terminal.tty, &now) == 0 && (now.c_lflag & (ICANON | ECHO)) != 0;
}

}  // namespace

ConsoleKeys::ConsoleKeys() {
  assert(!terminal.in_use && "one ConsoleKeys per process");
  terminal.in_use = true;
}

size_t ConsoleKeys::KeysWaiting() {
  if (!terminal.tried) {
    terminal.tried = true;
    int fd = ::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    // No controlling terminal (ENXIO) is expected; anything else keeps a terminal that is
    // there from the key test.
    terminal.open_error = fd < 0 && errno != ENXIO && errno != ENOENT ? errno : 0;
    if (fd >= 0 && !::isatty(fd)) {
      ::close(fd);
      fd = -1;
    }
    terminal.tty = fd;
  }
  if (terminal.tty < 0 || !InForeground()) {
    return 0;
  }
  if (!terminal.applied.load() || WaitingModeGone()) {
    ApplyWaitingMode();
  }
  int pending = 0;
  return ::ioctl(terminal.tty, FIONREAD, &pending) == 0 && pending > 0
             ? static_cast<size_t>(pending)
             : 0;
}

std::optional<std::string> ConsoleKeys::OpenProblem() const {
  if (terminal.open_error == 0)
    return std::nullopt;
  return ErrorText(terminal.open_error);
}

ConsoleKeys::~ConsoleKeys() {
  terminal.in_use = false;
  terminal.tried = false;
  terminal.open_error = 0;
  if (terminal.tty < 0)
    return;
  sigset_t all;
  sigset_t before;
  sigfillset(&all);
  ::pthread_sigmask(SIG_BLOCK, &all, &before);
  GiveTerminalBack();
  if (terminal.handlers_installed) {
    ::sigaction(kTerminalStop, &terminal.previous_stop, nullptr);
    SetLastWords(nullptr);
    terminal.handlers_installed = false;
  }
  ::close(terminal.tty);
  terminal.tty = -1;
  ::pthread_sigmask(SIG_SETMASK, &before, nullptr);
}

}  // namespace tavorin
