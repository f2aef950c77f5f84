#pragma once

#include <Python.h>

namespace tev::python {

// Creates a class's type object on first use (types live as long as the
// process, like the exception classes) and adds it to the module.
// Returns -1 with an exception set on failure.
template <class Create>
int add_type(PyObject* module, const char* name, PyTypeObject*& slot, Create&& create) {
  if (slot == nullptr) {
    slot = create();
    if (slot == nullptr) return -1;
  }
  return PyModule_AddObjectRef(module, name, reinterpret_cast<PyObject*>(slot));
}

// Takes a type object from an already initialised `_tev` module.
inline int adopt_type(PyObject* tev_module, const char* name, PyTypeObject*& slot) {
  if (slot != nullptr) return 0;
  PyObject* type = PyObject_GetAttrString(tev_module, name);
  if (type == nullptr) return -1;
  if (!PyType_Check(type)) {
    Py_DECREF(type);
    PyErr_Format(PyExc_TypeError, "_tev.%s is not a type", name);
    return -1;
  }
  slot = reinterpret_cast<PyTypeObject*>(type);
  return 0;
}

}  // namespace tev::python
