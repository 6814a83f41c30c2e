// A value that one thread replaces now and then (a reload) while others read it at every
// datagram, with no lock: every value ever set is kept until the owner goes, so that a reader
// holding one across a send never sees it freed. A value costs its size for the owner's life.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>

namespace tavorin {

template <typename T>
class Published {
 public:
  // A value with the number of values set before it: two reads give one number only when
  // they read the same setting, which one read of both tells (Held).
  struct Versioned {
    T value;
    uint64_t version;
  };

  explicit Published(const T& first = T()) { Set(first); }
  Published(const Published&) = delete;
  Published& operator=(const Published&) = delete;

  // Any thread: the value as last set, whole.
  const T& Get() const { return Held().value; }
  // Any thread: the same, with its version.
  const Versioned& Held() const { return *current_.load(std::memory_order_acquire); }
  // One thread at a time.
  void Set(const T& value) {
    kept_.push_back({value, kept_.size()});  // a deque moves none of the values it holds
    current_.store(&kept_.back(), std::memory_order_release);
  }

 private:
  std::deque<Versioned> kept_;
  std::atomic<const Versioned*> current_{nullptr};
};

}  // namespace tavorin
