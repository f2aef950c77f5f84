#pragma once

#include <Python.h>

namespace tev::python {

using KeywordFunction = PyObject* (*)(PyObject*, PyObject*, PyObject*);

// A method table entry for a function taking positional or keyword arguments.
inline PyMethodDef keyword_method(const char* name, KeywordFunction fn, const char* doc, int extra_flags = 0) {
  return {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn)),
          METH_VARARGS | METH_KEYWORDS | extra_flags, doc};
}

inline PyMethodDef no_args_method(const char* name, PyCFunction fn, const char* doc) {
  return {name, fn, METH_NOARGS, doc};
}

inline constexpr PyMethodDef kEndOfMethods = {nullptr, nullptr, 0, nullptr};
inline constexpr PyGetSetDef kEndOfProperties = {nullptr, nullptr, nullptr, nullptr, nullptr};

}  // namespace tev::python
