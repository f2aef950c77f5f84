#pragma once

#include <Python.h>

#include <atomic>

namespace tev::python {

// Guards one object's state against use from two threads at once. Shared
// access may be held by many callers, exclusive access by one; a conflicting
// request fails at once instead of waiting.
class AccessFlag {
 public:
  bool try_shared() {
    int seen = state_.load(std::memory_order_relaxed);
    do {
      if (seen < 0) return false;
    } while (!state_.compare_exchange_weak(seen, seen + 1, std::memory_order_acquire));
    return true;
  }
  bool try_exclusive() {
    int expected = 0;
    return state_.compare_exchange_strong(expected, kExclusive, std::memory_order_acquire);
  }
  void release_shared() { state_.fetch_sub(1, std::memory_order_release); }
  void release_exclusive() { state_.store(0, std::memory_order_release); }

 private:
  static constexpr int kExclusive = -1;
  std::atomic<int> state_{0};
};

enum class Access { Shared, Exclusive };

// Holds access for a scope. When taking it fails, ok() is false and a
// RuntimeError is set: "Already mutably borrowed" when shared access was
// wanted, "Already borrowed" when exclusive access was.
class AccessGuard {
 public:
  AccessGuard(AccessFlag& flag, Access mode) : flag_(&flag), mode_(mode) {
    ok_ = mode == Access::Shared ? flag.try_shared() : flag.try_exclusive();
    if (!ok_)
      PyErr_SetString(PyExc_RuntimeError,
                      mode == Access::Shared ? "Already mutably borrowed" : "Already borrowed");
  }
  ~AccessGuard() {
    if (!ok_) return;
    if (mode_ == Access::Shared)
      flag_->release_shared();
    else
      flag_->release_exclusive();
  }
  AccessGuard(const AccessGuard&) = delete;
  AccessGuard& operator=(const AccessGuard&) = delete;

  bool ok() const { return ok_; }

 private:
  AccessFlag* flag_;
  Access mode_;
  bool ok_;
};

}  // namespace tev::python
