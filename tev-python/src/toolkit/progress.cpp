#include "toolkit/progress.h"

namespace tev::python {

PyProgress::~PyProgress() {
  Py_XDECREF(callable_);
  Py_XDECREF(error_);
}

bool PyProgress::set(PyObject* callable, const char* name) {
  if (callable == nullptr || callable == Py_None) return true;
  if (!PyCallable_Check(callable)) {
    PyErr_Format(PyExc_TypeError, "argument '%s' must be callable or None, not %.100s", name,
                 Py_TYPE(callable)->tp_name);
    return false;
  }
  callable_ = Py_NewRef(callable);
  fn_ = [this](uint64_t done, uint64_t total) { return call(done, total); };
  return true;
}

bool PyProgress::call(uint64_t done, uint64_t total) {
  if (error_ != nullptr) return false;
  PyGILState_STATE gil = PyGILState_Ensure();
  PyObject* result = PyObject_CallFunction(callable_, "KK", static_cast<unsigned long long>(done),
                                           static_cast<unsigned long long>(total));
  bool go_on = result != nullptr;
  Py_XDECREF(result);
  if (!go_on) {
#if PY_VERSION_HEX >= 0x030C0000
    error_ = PyErr_GetRaisedException();
#else
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback != nullptr) PyException_SetTraceback(value, traceback);
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    error_ = value;
#endif
  }
  PyGILState_Release(gil);
  return go_on;
}

bool PyProgress::raised() {
  if (error_ == nullptr) return false;
  PyObject* error = error_;
  error_ = nullptr;
#if PY_VERSION_HEX >= 0x030C0000
  PyErr_SetRaisedException(error);
#else
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error)), error);
  Py_DECREF(error);
#endif
  return true;
}

}  // namespace tev::python
