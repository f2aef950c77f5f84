#pragma once

#include <Python.h>

namespace tev::python {

int add_hfs_volume(PyObject* module);

}  // namespace tev::python
