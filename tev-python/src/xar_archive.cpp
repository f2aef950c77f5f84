// XarArchive: a XAR archive read from a host file.
#include <memory>

#include "error.h"
#include "extract_methods.h"
#include "open_from_path.h"
#include "tev/common/byte_source.h"
#include "tev/xar/xar_reader.h"
#include "toolkit/args.h"
#include "toolkit/gil.h"
#include "toolkit/handle.h"
#include "toolkit/methods.h"
#include "toolkit/to_python.h"
#include "toolkit/types.h"
#include "xar_values.h"

namespace tev::python {
namespace {

struct XarArchiveClass {
  using State = xar::XarReader;
  static constexpr const char* kName = "XarArchive";
  static std::string repr_open(const State& s) { return "XarArchive(files=" + std::to_string(s.entries().size()) + ")"; }
  static auto extract(const State& s, const std::string& base, const std::string& dest, const ExtractOptions& o) {
    return s.extract(base, dest, o);
  }
  static std::optional<std::string> base_arg(PyObject* obj) { return arg_str(obj, "base_path"); }
};
using C = XarArchiveClass;
using State = C::State;
using pipeline::PipelineError;

PyTypeObject* g_type = nullptr;

PyObject* open(PyObject*, PyObject* args, PyObject* kwargs) {
  return open_from_path<C>(g_type, args, kwargs, [](ByteSource source) { return State::open(std::move(source)); });
}

PyObject* files(PyObject* self, void*) {
  return with_state<C>(self, Access::Shared, [](State& s) {
    return to_list(s.entries(), [&](const xar::TocEntry& e) { return make_xar_file(s, e); });
  });
}

PyObject* signature(PyObject* self, void*) {
  return with_state<C>(self, Access::Shared, [](State& s) { return make_signature_info(s.signature()); });
}

PyObject* find(PyObject* self, PyObject* args, PyObject* kwargs) {
  PyObject* path_obj = nullptr;
  if (!parse_args("find", args, kwargs, {"path"}, 1, &path_obj)) return nullptr;
  return with_state<C>(self, Access::Shared, [&](State& s) -> PyObject* {
    auto path = arg_str(path_obj, "path");
    if (!path) return nullptr;
    const xar::TocEntry* e = s.find_entry(*path);
    if (e == nullptr) Py_RETURN_NONE;
    return make_xar_file(s, *e);
  });
}

PyObject* read_file(PyObject* self, PyObject* args, PyObject* kwargs) {
  PyObject* index_obj = nullptr;
  if (!parse_args("read_file", args, kwargs, {"index"}, 1, &index_obj)) return nullptr;
  return with_state<C>(self, Access::Exclusive, [&](State& s) -> PyObject* {
    auto index = arg_u64(index_obj, "index");
    if (!index) return nullptr;
    if (*index >= s.entries().size())
      return PyErr_Format(PyExc_IndexError, "file index %llu out of range", static_cast<unsigned long long>(*index));
    const xar::TocEntry& e = s.entries()[static_cast<size_t>(*index)];
    auto size = s.provable_size(e);
    if (!size) return raise_error(PipelineError(size.error()));
    if (!*size) {
      auto data = without_gil([&] { return s.read_entry_bytes(e); });
      if (!data) return raise_error(PipelineError(data.error()));
      return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(data->data()),
                                       static_cast<Py_ssize_t>(data->size()));
    }
    // Decoded straight into the bytes object, whose size the stored bytes prove.
    PyObject* bytes = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(**size));
    if (bytes == nullptr) return nullptr;
    std::span<uint8_t> out(reinterpret_cast<uint8_t*>(PyBytes_AS_STRING(bytes)), static_cast<size_t>(**size));
    auto done = without_gil([&] { return s.read_entry_into(e, out); });
    if (!done) {
      Py_DECREF(bytes);
      return raise_error(PipelineError(done.error()));
    }
    return bytes;
  });
}

PyMethodDef kMethods[] = {
    keyword_method("open", &open, "open(path)\n--\n\nOpen a XAR archive from a file path.", METH_STATIC),
    keyword_method("find", &find, "find($self, path)\n--\n\nFind a file by path."),
    keyword_method("read_file", &read_file, "read_file($self, index)\n--\n\nRead a file's contents by index."),
    keyword_method("extract_all", &extract_all_method<C>, TEV_EXTRACT_ALL_DOC),
    keyword_method("extract_path", &extract_path_method<C>, TEV_EXTRACT_PATH_DOC),
    enter_method<C>(),
    exit_method<C>(),
    kEndOfMethods,
};

PyGetSetDef kProperties[] = {
    {"files", &files, nullptr, "List of files in the archive.", nullptr},
    {"signature", &signature, nullptr, "Signature information of the table of contents (not verified).", nullptr},
    kEndOfProperties,
};

constexpr const char kDoc[] =
    "XAR archive reader.\n\nUse as a context manager::\n\n"
    "    with tev.XarArchive.open(\"archive.xar\") as xar:\n"
    "        for f in xar.files:\n            print(f.path)";

}  // namespace

int add_xar_archive(PyObject* module) {
  return add_type(module, "XarArchive", g_type,
                  [] { return make_handle_type<C>("_tev.XarArchive", kDoc, kMethods, kProperties); });
}

}  // namespace tev::python
