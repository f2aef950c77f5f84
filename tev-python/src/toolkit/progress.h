// A Python callable told of the progress of a call that runs without the
// interpreter lock.
#pragma once

#include <Python.h>

#include "tev/common/progress.h"

namespace tev::python {

// The callable is called as f(done_bytes, total_bytes) on the calling
// thread, which takes the lock back for it. An exception it raises stops the
// operation and is what the call then raises, in place of the error the
// operation reports for being stopped.
class PyProgress {
 public:
  PyProgress() = default;
  PyProgress(const PyProgress&) = delete;
  PyProgress& operator=(const PyProgress&) = delete;
  ~PyProgress();

  // None (or no argument) means no callback; anything else must be callable.
  // False with TypeError set otherwise.
  bool set(PyObject* callable, const char* name);

  // What the library is given; nullptr without a callback.
  const ProgressFn* fn() const { return callable_ != nullptr ? &fn_ : nullptr; }

  // With the lock held after the call: whether the callback raised. If so
  // its exception is set again and the caller returns nullptr.
  bool raised();

 private:
  bool call(uint64_t done, uint64_t total);

  PyObject* callable_ = nullptr;  // a new reference
  PyObject* error_ = nullptr;     // the exception it raised
  ProgressFn fn_;
};

}  // namespace tev::python
