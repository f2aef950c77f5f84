#pragma once

#include <Python.h>

#include "tev/pbzx/cpio.h"

namespace tev::python {

PyObject* make_file_entry(const pbzx::CpioEntry& entry);

}  // namespace tev::python
