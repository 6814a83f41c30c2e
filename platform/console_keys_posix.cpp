// The console key test on a POSIX terminal.
//
// The controlling terminal (/dev/tty, never standard input) is put into non-canonical mode
// without echo while the relay waits, so that a single key shows without Enter; signals from
// the keyboard (Ctrl+C) still work. Any pending byte is a key press, and it is left unread.
// The terminal is touched only while this process is in its foreground: started in the
// background, the relay never changes it nor gets stopped by it. Whatever way the program
// ends (normally, or by Ctrl+C, SIGTERM, SIGHUP or SIGQUIT) the settings it found are put
// back first, with TCSANOW so that pending input is kept. Ctrl+Z gives them back too, and
// they are applied again at the next test once the relay is back in the foreground, as they
// are whenever a test finds them changed.
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

#include "platform/console_keys.h"

namespace tavorin {

namespace {

// One terminal per process, shared with the signal handlers below.
int tty = -1;
termios found{};  // the settings the terminal had when they were last applied
std::atomic<bool> applied{false};
static_assert(std::atomic<bool>::is_always_lock_free, "read in signal handlers");

constexpr int kEndingSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
struct sigaction previous_ending[4];
struct sigaction previous_stop;
bool handlers_installed = false;

bool InForeground() {
  pid_t group = ::tcgetpgrp(tty);
  return group != -1 && group == ::getpgrp();
}

// Async-signal-safe.
void GiveTerminalBack() {
  if (applied.exchange(false) && InForeground()) {
    ::tcsetattr(tty, TCSANOW, &found);
  }
}

void OnEndingSignal(int signal_number) {
  GiveTerminalBack();
  // The handler was reset to the default when it was entered: the signal, raised again, ends
  // the process as it would have without this handler.
  ::raise(signal_number);
}

void OnStopSignal(int);

void InstallStopHandler() {
  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  ::sigaction(SIGTSTP, &action, nullptr);
}

void OnStopSignal(int) {
  int saved_errno = errno;
  GiveTerminalBack();
  ::signal(SIGTSTP, SIG_DFL);
  ::raise(SIGTSTP);
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGTSTP);
  ::pthread_sigmask(SIG_UNBLOCK, &stop, nullptr);  // the process stops here until continued
  InstallStopHandler();
  errno = saved_errno;
}

void InstallHandlers() {
  struct sigaction action {};
  action.sa_handler = OnEndingSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESETHAND;
  for (int i = 0; i < 4; ++i) {
    ::sigaction(kEndingSignals[i], &action, &previous_ending[i]);
  }
  ::sigaction(SIGTSTP, nullptr, &previous_stop);
  InstallStopHandler();
  handlers_installed = true;
}

// Sets the waiting mode; the signals that give the terminal back are held off meanwhile.
void ApplyWaitingMode() {
  sigset_t all;
  sigset_t before;
  sigfillset(&all);
  ::pthread_sigmask(SIG_BLOCK, &all, &before);
  if (!handlers_installed)
    InstallHandlers();
  termios waiting{};
  if (::tcgetattr(tty, &found) == 0) {
    waiting = found;
    waiting.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
    waiting.c_cc[VMIN] = 1;
    waiting.c_cc[VTIME] = 0;
    applied.store(true);
    if (::tcsetattr(tty, TCSANOW, &waiting) != 0)
      applied.store(false);
  }
  ::pthread_sigmask(SIG_SETMASK, &before, nullptr);
}

// Whether something else has put the terminal back into line mode since the waiting mode was
// applied: a shell does so when the relay is stopped (SIGSTOP, which no handler sees) and
// continued.
bool WaitingModeGone() {
  termios now{};
  return ::tcgetattr(tty, &now) == 0 && (now.c_lflag & (ICANON | ECHO)) != 0;
}

}  // namespace

bool ConsoleKeys::KeyPressed() {
  if (!tried_) {
    tried_ = true;
    tty = ::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    open_ = tty >= 0 && ::isatty(tty);
  }
  if (!open_ || !InForeground()) {
    return false;
  }
  if (!applied.load() || WaitingModeGone()) {
    ApplyWaitingMode();
  }
  int pending = 0;
  return ::ioctl(tty, FIONREAD, &pending) == 0 && pending > 0;
}

ConsoleKeys::~ConsoleKeys() {
  if (tty < 0)
    return;
  sigset_t all;
  sigset_t before;
  sigfillset(&all);
  ::pthread_sigmask(SIG_BLOCK, &all, &before);
  GiveTerminalBack();
  if (handlers_installed) {
    for (int i = 0; i < 4; ++i)
      ::sigaction(kEndingSignals[i], &previous_ending[i], nullptr);
    ::sigaction(SIGTSTP, &previous_stop, nullptr);
    handlers_installed = false;
  }
  ::close(tty);
  tty = -1;
  ::pthread_sigmask(SIG_SETMASK, &before, nullptr);
}

}  // namespace tavorin
