// The extension module `_tev`: multi-phase initialisation, and the order in
// which exceptions, functions and classes are registered.
#include <Python.h>

#include "archive.h"
#include "dmg_archive.h"
#include "dmg_values.h"
#include "error.h"
#include "extract_stats.h"
#include "fs_values.h"
#include "apfs_volume.h"
#include "hfs_volume.h"
#include "pipeline_classes.h"
#include "xar_values.h"

namespace tev::python {
namespace {

constexpr const char kModuleDoc[] =
    "Python module for parsing Apple DMG disk images, HFS+/APFS filesystems,\n"
    "PKG installers, and PBZX/CPIO payloads.";

// The classes in registration order; each adds itself under its name.
constexpr int (*kClasses[])(PyObject*) = {
    &add_pipeline_functions, &add_dmg_pipeline, &add_filesystem_handle,
    &add_dmg_archive,    &add_dmg_builder, &add_pkg_reader, &add_xar_archive, &add_archive,   &add_cpio_builder,     &add_pbzx_writer,
    &add_hfs_volume,     &add_apfs_volume, &add_partition_info, &add_dir_entry, &add_file_stat,   &add_volume_info,
    &add_walk_entry,     &add_file_entry,  &add_compression_info, &add_dmg_stats, &add_xar_file, &add_chunk_info,
    &add_archive_stats,  &add_extract_stats,
    &add_signature_info, &add_component_info, &add_pkg_ref, &add_distribution_info,
};

int exec_module(PyObject* module) {
  if (add_exceptions(module) != 0) return -1;
  for (auto add : kClasses) {
    if (add(module) != 0) return -1;
  }
  return 0;
}

PyModuleDef_Slot kSlots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&exec_module)},
#if PY_VERSION_HEX >= 0x030C0000
    // The classes and exceptions are created once per process, not per
    // interpreter, so the module cannot be loaded in a second interpreter.
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#endif
#if PY_VERSION_HEX >= 0x030D0000
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT,
    "_tev",
    kModuleDoc,
    0,
    nullptr,
    kSlots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace tev::python

PyMODINIT_FUNC PyInit__tev() { return PyModuleDef_Init(&tev::python::kModule); }
