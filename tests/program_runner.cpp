#include "tests/program_runner.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "tests/udp_peer.h"

namespace tavorin::testing {

bool PollUntil(int timeout_ms, const std::function<bool()>& done) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline)
      return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

size_t Occurrences(std::string_view text, std::string_view part) {
  size_t n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
    ++n;
  return n;
}

TempDir::TempDir() {
  char name[] = "/tmp/tavorin-test-XXXXXX";
  EXPECT_NE(mkdtemp(name), nullptr);
  path_ = name;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

void TempDir::Write(std::string_view name, std::string_view content) const {
  std::ofstream(File(name), std::ios::binary) << content;
}

std::optional<std::string> TempDir::Read(std::string_view name) const {
  std::ifstream in(File(name), std::ios::binary);
  if (!in)
    return std::nullopt;
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

bool TempDir::BecomesEmpty(std::string_view name, int timeout_ms) const {
  return PollUntil(timeout_ms, [&] { return Read(name) == ""; });
}

bool TempDir::Holds(std::string_view name, std::string_view text, int times, int timeout_ms) const {
  return PollUntil(timeout_ms, [&] {
    return Occurrences(Read(name).value_or(""), text) >= static_cast<size_t>(times);
  });
}

bool UnderWine() {
  const char* exe = std::getenv("TAVORIN_WINE_BINARY");
  return exe != nullptr && *exe != '\0';
}

std::string RelayBinary() {
  if (UnderWine())
    return std::getenv("TAVORIN_WINE_BINARY");
  const char* other = std::getenv("TAVORIN_RELAY");
  return other != nullptr && *other != '\0' ? other : TAVORIN_BINARY;
}

namespace {
// Windows writes text-mode line ends as CR LF; the tests compare lines.
std::string UnixLineEnds(std::string text) {
  for (size_t at; UnderWine() && (at = text.find("\r\n")) != std::string::npos;)
    text.erase(at, 1);
  return text;
}
}  // namespace

void WaitUntilFree(uint16_t port) {
  const auto bindable = [](uint16_t at) {
    const int fd = BindUdp(at, htonl(INADDR_ANY));
    return fd >= 0 && close(fd) == 0;
  };
  PollUntil(5000, [&] { return bindable(port) && bindable(static_cast<uint16_t>(port + 1)); });
}

uint16_t FreePortPair() {
  // Free on every address of both families, as the relay binds them.
  BoundPair pair = BindNeighbours(EveryAddress(true));
  uint16_t port = LocalPort(pair.first);
  close(pair.first);
  close(pair.second);
  return port;
}

namespace {

[[noreturn]] void Fail(const char* what) {
  std::perror(what);
  _exit(127);
}

// In the child: becomes a session of its own with the terminal at `slave_name` as its
// controlling terminal, in the foreground or (behind a placeholder group) in the background.
void TakeTerminal(const char* slave_name, Terminal terminal) {
  if (setsid() < 0)
    Fail("setsid");
  if (terminal == Terminal::kNone) {
    int null = open("/dev/null", O_RDWR);
    dup2(null, 0);
    return;
  }
  int tty = open(slave_name, O_RDWR);
  if (tty < 0 || ioctl(tty, TIOCSCTTY, 0) != 0)
    Fail("controlling terminal");
  dup2(tty, 0);
  if (terminal == Terminal::kBackground) {
    pid_t holder = fork();
    if (holder == 0) {
      setpgid(0, 0);
      for (int fd = 3; fd < 1024; ++fd)
        close(fd);  // holds none of the test's pipes
      for (;;)
        pause();  // ends with the session's hang-up
    }
    setpgid(holder, holder);
    signal(SIGTTOU, SIG_IGN);
    if (tcsetpgrp(tty, holder) != 0)
      Fail("tcsetpgrp");
    signal(SIGTTOU, SIG_DFL);
  }
  close(tty);
}

}  // namespace

RunningProgram::RunningProgram(const std::string& directory, const Launch& launch) {
  const Terminal terminal = launch.terminal;
  const std::string binary = launch.binary.empty() ? RelayBinary() : launch.binary;
  master_ = open("/dev/ptmx", O_RDWR | O_NOCTTY | O_CLOEXEC);
  EXPECT_GE(master_, 0);
  grantpt(master_);
  unlockpt(master_);
  std::string slave_name = ptsname(master_);
  slave_ = open(slave_name.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  EXPECT_GE(slave_, 0);
  Type(launch.typed_before);

  int out[2];
  int err[2];
  EXPECT_EQ(pipe2(out, O_CLOEXEC), 0);
  EXPECT_EQ(pipe2(err, O_CLOEXEC), 0);
  if (launch.errors == ErrorSink::kFull) {
    // Filled without waiting, then blocking again, as a pipe nobody reads would be.
    fcntl(err[1], F_SETFL, O_NONBLOCK);
    std::string filler(4096, '#');
    while (write(err[1], filler.data(), filler.size()) > 0) {
    }
    fcntl(err[1], F_SETFL, 0);
  }
  if (slave_ >= 0)
    tcgetattr(slave_, &initial_settings_);
  pid_ = fork();
  if (pid_ == 0) {
    TakeTerminal(slave_name.c_str(), terminal);
    dup2(out[1], 1);
    dup2(err[1], 2);
    // Nothing of the test's own (or of whatever started it) reaches the program, so that a
    // limit on descriptors counts exactly what the program opens.
    // Out of the way of 3 and up first, then to their places.
    std::vector<int> passed;
    for (const auto& [fd, name] : launch.passed)
      passed.push_back(fcntl(fd, F_DUPFD, 512));
    std::string names;
    for (size_t k = 0; k < passed.size(); ++k) {
      dup2(passed[k], static_cast<int>(3 + k));
      names += (k == 0 ? "" : ":") + launch.passed[k].second;
    }
    closefrom(static_cast<unsigned>(3 + passed.size()));
    if (!passed.empty()) {
      setenv("LISTEN_FDS", std::to_string(passed.size()).c_str(), 1);
      setenv("LISTEN_FDNAMES", names.c_str(), 1);
      setenv("LISTEN_PID", std::to_string(launch.passed_to_another ? getppid() : getpid()).c_str(),
             1);
    }
    for (int fd : launch.closed)
      close(fd);
    for (int signal_number : launch.ignored_signals)
      signal(signal_number, SIG_IGN);
    for (const auto& [resource, value] :
         {std::pair{RLIMIT_NOFILE, launch.open_files}, std::pair{RLIMIT_STACK, launch.stack}}) {
      const rlimit limit{value.value_or(0), value.value_or(0)};
      if (value && setrlimit(resource, &limit) != 0)
        Fail("setrlimit");
    }
    if (launch.user &&
        (setgroups(0, nullptr) != 0 || setgid(*launch.user) != 0 || setuid(*launch.user) != 0))
      Fail("setuid");
    if (chdir(directory.c_str()) != 0)
      Fail("chdir");
    if (!launch.preload.empty()) {
      setenv("LD_PRELOAD", launch.preload.c_str(), 1);
      // A sanitizer's runtime would otherwise refuse to come second.
      setenv("ASAN_OPTIONS", "verify_asan_link_order=0", 1);
    }
    std::vector<char*> argv;
    if (UnderWine())
      argv.push_back(const_cast<char*>("wine"));
    argv.push_back(const_cast<char*>(binary.c_str()));
    for (const std::string& argument : launch.arguments)
      argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    Fail("exec");
  }
  close(out[1]);
  close(err[1]);
  out_ = out[0];
  err_ = err[0];
  if (launch.errors == ErrorSink::kClosed) {
    close(err_);
    err_ = -1;
  }
}

RunningProgram::~RunningProgram() {
  if (pid_ > 0 && !status_) {
    kill(pid_, SIGKILL);
    WaitForExit(5000);
  }
  for (int fd : {master_, slave_, out_, err_})
    if (fd >= 0)
      close(fd);
}

std::string RunningProgram::ReadLines(int lines, int timeout_ms) {
  return ReadLinesOf(out_, lines, timeout_ms);
}
std::string RunningProgram::ErrorLines(int lines, int timeout_ms) {
  return ReadLinesOf(err_, lines, timeout_ms);
}

std::string RunningProgram::ReadLinesOf(int fd, int lines, int timeout_ms) {
  std::string text;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (lines > 0) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    pollfd p{fd, POLLIN, 0};
    if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) != 1)
      break;
    char c;
    if (read(fd, &c, 1) != 1)
      break;
    text.push_back(c);
    if (c == '\n')
      --lines;
  }
  return UnixLineEnds(text);
}

std::string RunningProgram::Drain(int fd, int timeout_ms) {
  std::string text;
  pollfd p{fd, POLLIN, 0};
  char buffer[4096];
  while (poll(&p, 1, timeout_ms) == 1) {
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n <= 0)
      break;
    text.append(buffer, static_cast<size_t>(n));
  }
  return UnixLineEnds(text);
}

void RunningProgram::Type(std::string_view bytes) const {
  EXPECT_TRUE(bytes.empty() ||
              write(master_, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size()));
}

termios RunningProgram::TerminalSettings() const {
  termios t{};
  EXPECT_EQ(tcgetattr(slave_, &t), 0);
  return t;
}

void RunningProgram::SetTerminalSettings(const termios& settings) const {
  EXPECT_EQ(tcsetattr(slave_, TCSANOW, &settings), 0);
}

bool RunningProgram::KeyWaitBegins(int timeout_ms) const {
  return PollUntil(timeout_ms, [&] { return (TerminalSettings().c_lflag & ICANON) == 0; });
}

bool RunningProgram::BecomesStopped(int timeout_ms) const {
  return PollUntil(timeout_ms, [&] {
    std::ifstream stat("/proc/" + std::to_string(pid_) + "/stat");
    std::string line;
    std::getline(stat, line);
    // pid (name) state ...: the name may hold spaces and parentheses, the state follows the
    // last ") ".
    size_t end = line.rfind(") ");
    return end != std::string::npos && end + 2 < line.size() && line[end + 2] == 'T';
  });
}

std::string RunningProgram::PendingInput() const {
  termios raw = TerminalSettings();
  cfmakeraw(&raw);
  raw.c_cc[VMIN] = 0;
  raw.c_cc[VTIME] = 0;
  tcsetattr(slave_, TCSANOW, &raw);
  char buffer[256];
  ssize_t n = read(slave_, buffer, sizeof buffer);
  return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : std::string();
}

std::optional<int> RunningProgram::WaitForExit(int timeout_ms) {
  PollUntil(timeout_ms, [&] {
    int status = 0;
    if (!status_ && waitpid(pid_, &status, WNOHANG) == pid_)
      status_ = status;
    return status_.has_value();
  });
  return status_;
}

void RunningProgram::Signal(int signal_number) const {
  kill(pid_, signal_number);
}

bool SameSettings(const termios& a, const termios& b) {
  return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag &&
         a.c_lflag == b.c_lflag && std::memcmp(a.c_cc, b.c_cc, sizeof a.c_cc) == 0;
}

}  // namespace tavorin::testing
