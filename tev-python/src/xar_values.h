#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>
#include <string>

#include "tev/xar/pkg_reader.h"
#include "tev/xar/xar_reader.h"

namespace tev::python {

// What XarFile shows of one TOC entry.
struct XarFileValue {
  std::string name;
  std::string path;
  std::string file_type;  // "file", "directory", "symlink"
  std::optional<std::string> link;
  std::optional<uint64_t> size;
  std::optional<uint64_t> compressed_size;
  uint64_t id = 0;
  std::optional<uint32_t> mode;
  std::optional<uint32_t> uid;
  std::optional<uint32_t> gid;
  std::optional<int64_t> mtime;
  std::optional<std::string> hardlink_target;
};

// The value classes of the XAR and package readers.
int add_xar_file(PyObject* module);
int add_signature_info(PyObject* module);
int add_component_info(PyObject* module);
int add_pkg_ref(PyObject* module);
int add_distribution_info(PyObject* module);

PyObject* make_xar_file(const xar::XarReader& reader, const xar::TocEntry& entry);
PyObject* make_signature_info(const xar::SignatureInfo& value);
PyObject* make_component_info(const xar::ComponentInfo& value);
PyObject* make_pkg_ref(const xar::PkgRef& value);
PyObject* make_distribution_info(const xar::DistributionInfo& value);

// The handle classes.
int add_xar_archive(PyObject* module);
int add_pkg_reader(PyObject* module);
// An open PkgReader owning the reader (for packages read out of a file system).
PyObject* make_pkg_reader(xar::PkgReader reader);

}  // namespace tev::python
