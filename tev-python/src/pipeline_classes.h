#pragma once

#include <Python.h>

#include "tev/pipeline/opened_filesystem.h"

namespace tev::python {

int add_dmg_pipeline(PyObject* module);
int add_filesystem_handle(PyObject* module);
// `open`, `find_packages` and `extract_pkg_payload`.
int add_pipeline_functions(PyObject* module);

// An open FilesystemHandle owning the file system.
PyObject* make_filesystem_handle(pipeline::OpenedFilesystem fs);

}  // namespace tev::python
