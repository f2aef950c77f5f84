#pragma once

#include <Python.h>

namespace tev::python {

// Releases the interpreter lock for its lifetime. Nothing inside may touch a
// Python object.
class GilRelease {
 public:
  GilRelease() : state_(PyEval_SaveThread()) {}
  ~GilRelease() { PyEval_RestoreThread(state_); }
  GilRelease(const GilRelease&) = delete;
  GilRelease& operator=(const GilRelease&) = delete;

 private:
  PyThreadState* state_;
};

// Runs f with the interpreter lock released and returns its result.
template <class F>
auto without_gil(F&& f) {
  GilRelease release;
  return f();
}

}  // namespace tev::python
