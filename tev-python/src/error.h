#pragma once

#include <Python.h>

#include "tev/pipeline/pipeline_error.h"

namespace tev::python {

// The module's exception classes, created once per process and shared by
// every module object afterwards.
struct Exceptions {
  PyObject* tev_error = nullptr;
  PyObject* io_error = nullptr;
  PyObject* invalid_format_error = nullptr;
  PyObject* file_not_found_error = nullptr;
  PyObject* decompression_error = nullptr;
  PyObject* unsupported_error = nullptr;
};

const Exceptions& exceptions();

// Creates the classes if needed and adds them to the module under their short
// names. Returns -1 with an exception set on failure.
int add_exceptions(PyObject* module);

// Takes the classes from an already initialised `_tev` module instead of
// creating them (for extension modules built on the same toolkit).
int adopt_exceptions(PyObject* tev_module);

// The class an error is raised as, chosen by its kind and, for the kinds
// that wrap a library error, by the wrapped error's kind.
PyObject* exception_class(const pipeline::PipelineError& error);

// Raises the mapped exception with the error's full message; returns nullptr.
PyObject* raise_error(const pipeline::PipelineError& error);

}  // namespace tev::python
