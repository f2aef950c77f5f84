#pragma once

#include <Python.h>

#include "tev/common/extract_stats.h"

namespace tev::python {

int add_extract_stats(PyObject* module);
int adopt_extract_stats(PyObject* tev_module);
PyObject* make_extract_stats(const ExtractStats& stats);

}  // namespace tev::python
