#include "error.h"

#include <string>

namespace tev::python {
namespace {

using pipeline::PipelineError;
using pipeline::PipelineErrorKind;

Exceptions g_exceptions;

struct ExceptionSpec {
  PyObject* Exceptions::*slot;
  const char* short_name;
  const char* qualified_name;
  const char* doc;
  bool derives_from_tev_error;
};

// In registration order.
constexpr ExceptionSpec kExceptionSpecs[] = {
    {&Exceptions::tev_error, "TevError", "_tev.TevError", "Base exception for all tev errors.", false},
    {&Exceptions::io_error, "IoError", "_tev.IoError", "I/O error.", true},
    {&Exceptions::invalid_format_error, "InvalidFormatError", "_tev.InvalidFormatError",
     "Invalid format: bad magic, corrupt data, or invalid headers.", true},
    {&Exceptions::file_not_found_error, "FileNotFoundError", "_tev.FileNotFoundError",
     "File or partition not found.", true},
    {&Exceptions::decompression_error, "DecompressionError", "_tev.DecompressionError",
     "Decompression failure.", true},
    {&Exceptions::unsupported_error, "UnsupportedError", "_tev.UnsupportedError",
     "Unsupported feature or format.", true},
};

int create_exceptions() {
  for (const auto& spec : kExceptionSpecs) {
    PyObject*& slot = g_exceptions.*spec.slot;
    if (slot != nullptr) continue;
    PyObject* base = spec.derives_from_tev_error ? g_exceptions.tev_error : PyExc_Exception;
    slot = PyErr_NewExceptionWithDoc(spec.qualified_name, spec.doc, base, nullptr);
    if (slot == nullptr) {
      PyErr_SetString(PyExc_ImportError, "Failed to initialize new exception type.");
      return -1;
    }
  }
  return 0;
}

}  // namespace

const Exceptions& exceptions() { return g_exceptions; }

int add_exceptions(PyObject* module) {
  if (create_exceptions() != 0) return -1;
  for (const auto& spec : kExceptionSpecs) {
    if (PyModule_AddObjectRef(module, spec.short_name, g_exceptions.*spec.slot) != 0) return -1;
  }
  return 0;
}

int adopt_exceptions(PyObject* tev_module) {
  for (const auto& spec : kExceptionSpecs) {
    PyObject*& slot = g_exceptions.*spec.slot;
    if (slot != nullptr) continue;
    slot = PyObject_GetAttrString(tev_module, spec.short_name);
    if (slot == nullptr) return -1;
  }
  return 0;
}

namespace {

PyObject* dmg_class(const udif::DmgError& error) {
  const Exceptions& e = g_exceptions;
  using Kind = udif::DmgError::Kind;
  switch (error.kind()) {
    case Kind::Io: return e.io_error;
    case Kind::InvalidMagic:
    case Kind::InvalidPlist:
    case Kind::InvalidBlockMap:
    case Kind::ChecksumMismatch: return e.invalid_format_error;
    case Kind::Decompression:
    case Kind::Compression: return e.decompression_error;
    case Kind::UnsupportedCompression:
    case Kind::Unsupported: return e.unsupported_error;
    case Kind::FileNotFound: return e.file_not_found_error;
  }
  return e.tev_error;
}

PyObject* hfs_class(const hfsplus::HfsError& error) {
  const Exceptions& e = g_exceptions;
  using Kind = hfsplus::HfsError::Kind;
  switch (error.kind()) {
    case Kind::Io: return e.io_error;
    case Kind::InvalidSignature:
    case Kind::InvalidBTree:
    case Kind::NotADirectory:
    case Kind::CorruptedData: return e.invalid_format_error;
    case Kind::FileNotFound: return e.file_not_found_error;
    case Kind::UnsupportedVersion: return e.unsupported_error;
    case Kind::IsADirectory: return e.io_error;
  }
  return e.tev_error;
}

PyObject* apfs_class(const apfs::ApfsError& error) {
  const Exceptions& e = g_exceptions;
  using Kind = apfs::ApfsError::Kind;
  switch (error.kind()) {
    case Kind::Io: return e.io_error;
    case Kind::InvalidMagic:
    case Kind::InvalidChecksum:
    case Kind::InvalidBTree:
    case Kind::NotADirectory:
    case Kind::CorruptedData:
    case Kind::NoVolumeFound: return e.invalid_format_error;
    case Kind::FileNotFound: return e.file_not_found_error;
    case Kind::Unsupported: return e.unsupported_error;
  }
  return e.tev_error;
}

PyObject* xar_class(const xar::XarError& error) {
  const Exceptions& e = g_exceptions;
  using Kind = xar::XarError::Kind;
  switch (error.kind()) {
    case Kind::Io: return e.io_error;
    case Kind::InvalidMagic:
    case Kind::InvalidToc:
    case Kind::XmlParse:
    case Kind::InvalidPath:
    case Kind::ChecksumMismatch: return e.invalid_format_error;
    case Kind::FileNotFound: return e.file_not_found_error;
    case Kind::UnsupportedEncoding: return e.unsupported_error;
    case Kind::DecompressionFailed: return e.decompression_error;
  }
  return e.tev_error;
}

PyObject* pbzx_class(const pbzx::PbzxError& error) {
  const Exceptions& e = g_exceptions;
  using Kind = pbzx::PbzxError::Kind;
  switch (error.kind()) {
    case Kind::Io: return e.io_error;
    case Kind::InvalidMagic:
    case Kind::InvalidChunk:
    case Kind::InvalidCpio:
    case Kind::InvalidPath: return e.invalid_format_error;
    case Kind::Decompression:
    case Kind::Compression: return e.decompression_error;
    case Kind::FileNotFound: return e.file_not_found_error;
  }
  return e.tev_error;
}

}  // namespace

PyObject* exception_class(const PipelineError& error) {
  const Exceptions& e = g_exceptions;
  switch (error.kind()) {
    case PipelineErrorKind::Io: return e.io_error;
    case PipelineErrorKind::FileNotFound:
    case PipelineErrorKind::NoHfsPartition:
    case PipelineErrorKind::NoApfsPartition:
    case PipelineErrorKind::NoFilesystemPartition:
    case PipelineErrorKind::NoEntriesUnder: return e.file_not_found_error;
    case PipelineErrorKind::InvalidPath: return e.invalid_format_error;
    case PipelineErrorKind::Dmg: return dmg_class(*error.wrapped<udif::DmgError>());
    case PipelineErrorKind::HfsPlus: return hfs_class(*error.wrapped<hfsplus::HfsError>());
    case PipelineErrorKind::Xar: return xar_class(*error.wrapped<xar::XarError>());
    case PipelineErrorKind::Pbzx: return pbzx_class(*error.wrapped<pbzx::PbzxError>());
    case PipelineErrorKind::Apfs: return apfs_class(*error.wrapped<apfs::ApfsError>());
  }
  return e.tev_error;
}

PyObject* raise_error(const PipelineError& error) {
  std::string message = error.message();
  PyObject* text = PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()),
                                        "replace");
  if (text == nullptr) return nullptr;
  PyErr_SetObject(exception_class(error), text);
  Py_DECREF(text);
  return nullptr;
}

}  // namespace tev::python
