#pragma once

#include <Python.h>

#include "tev/common/fs_values.h"

namespace tev::python {

// The value classes every file-system reader returns.
int add_dir_entry(PyObject* module);
int add_file_stat(PyObject* module);
int add_volume_info(PyObject* module);
int add_walk_entry(PyObject* module);

PyObject* make_dir_entry(const fs::DirEntry& value);
PyObject* make_file_stat(const fs::FileStat& value);
PyObject* make_volume_info(const fs::VolumeInfo& value);
PyObject* make_walk_entry(const fs::WalkEntry& value);

// "file", "directory", "symlink" and "hfsplus", "apfs" as str.
PyObject* kind_to_python(fs::EntryKind kind);
PyObject* fs_type_to_python(fs::FsType type);

}  // namespace tev::python
