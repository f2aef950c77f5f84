#pragma once

#include <Python.h>

namespace tev::python {

int add_dmg_archive(PyObject* module);
int add_dmg_builder(PyObject* module);

}  // namespace tev::python
