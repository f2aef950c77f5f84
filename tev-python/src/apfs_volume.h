#pragma once

#include <Python.h>

namespace tev::python {

int add_apfs_volume(PyObject* module);

}  // namespace tev::python
