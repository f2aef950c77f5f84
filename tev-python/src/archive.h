#pragma once

#include <Python.h>

#include <cstdint>
#include <vector>

#include "tev/common/buffer.h"

namespace tev::python {

int add_archive(PyObject* module);
int add_cpio_builder(PyObject* module);
int add_pbzx_writer(PyObject* module);
int add_file_entry(PyObject* module);
int add_archive_stats(PyObject* module);

// An open Archive owning already decompressed CPIO bytes (for the package
// readers, which decode payloads themselves).
PyObject* make_archive(Buffer cpio);

}  // namespace tev::python
