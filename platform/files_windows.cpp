#include <windows.h>

#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/files.h"

namespace tavorin {

// Windows sets no per-process limit on sockets that a program could raise.
void RaiseOpenFileLimit() {}

// A Windows socket is a kernel handle, never a C runtime descriptor, so a closed standard
// stream cannot lend its number to one; writing to a stream that has no handle, or whose
// reader has gone, fails quietly.
void PrepareStandardStreams() {}

// Text mode, as the console's own output is. A file in the working directory cannot be a named
// pipe on Windows, so the open does not wait.
namespace {
// Whether standard output is the null device in place of a log that could not be opened.
bool output_lost = false;
}  // namespace

std::optional<std::string> RedirectStandardOutput(const std::string& path, bool append) {
  output_lost = std::freopen(path.c_str(), append ? "at" : "wt", stdout) == nullptr;
  if (!output_lost)
    return std::nullopt;
  std::string failure = std::strerror(errno);
  std::freopen("NUL", "wt", stdout);
  return failure;
}

// The log is a file, which takes what it is given at once (a full disk refuses it).
size_t WriteStandardOutputNow(std::string_view text) {
  if (output_lost)
    return 0;
  size_t written = std::fwrite(text.data(), 1, text.size(), stdout);
  return std::fflush(stdout) == 0 ? written : 0;
}

namespace {

// Standard error is written by a thread of its own, since nothing tells beforehand whether a
// pipe has room (and Windows has no write that gives up when it has none): the caller only
// queues a line, and the stream counts as ready while few lines wait. The writer uses the
// handle, not the C runtime's stream, so that the process can end while it is stuck in a
// write; the writer and its queue live until then.
class ErrorWriter {
 public:
  static ErrorWriter& Get() {
    static ErrorWriter* writer = new ErrorWriter;
    return *writer;
  }

  bool Ready() {
    std::lock_guard<std::mutex> lock(mutex_);
    return waiting_ < kMostWaiting;
  }

  void Write(std::string_view line) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!started_) {
      std::fflush(stderr);  // what was written through the stream goes first
      std::thread([this] { Run(); }).detach();
      started_ = true;
    }
    lines_.emplace_back(line);
    lines_.back() += '\n';
    ++waiting_;
    changed_.notify_all();
  }

  void Flush(std::chrono::milliseconds limit) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, limit, [this] { return waiting_ == 0; });
  }

 private:
  static constexpr size_t kMostWaiting = 16;

  void Run() {
    HANDLE stream = GetStdHandle(STD_ERROR_HANDLE);
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      changed_.wait(lock, [this] { return !lines_.empty(); });
      std::string line = std::move(lines_.front());
      lines_.pop_front();
      lock.unlock();
      for (size_t done = 0; done < line.size();) {
        DWORD written = 0;
        if (!WriteFile(stream, line.data() + done, static_cast<DWORD>(line.size() - done), &written,
                       nullptr) ||
            written == 0)
          break;  // no stream, or its reader has gone: the line is lost, as a write would be
        done += written;
      }
      lock.lock();
      --waiting_;  // counted until written, so that a write that is stuck fills the queue
      changed_.notify_all();
    }
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<std::string> lines_;
  size_t waiting_ = 0;
  bool started_ = false;
};

}  // namespace

bool StandardErrorReady() {
  return ErrorWriter::Get().Ready();
}

void WriteStandardErrorLine(std::string_view line) {
  ErrorWriter::Get().Write(line);
}

void FlushStandardError(std::chrono::milliseconds limit) {
  ErrorWriter::Get().Flush(limit);
}

}  // namespace tavorin
