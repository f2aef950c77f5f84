// Archive: the decompressed CPIO contents of an installer payload.
#include "archive.h"

#include <cstring>
#include <memory>

#include "error.h"
#include "extract_methods.h"
#include "file_entry.h"
#include "tev/pbzx/cpio.h"
#include "tev/pbzx/pbzx_reader.h"
#include "toolkit/args.h"
#include "toolkit/gil.h"
#include "toolkit/handle.h"
#include "toolkit/methods.h"
#include "toolkit/to_python.h"
#include "toolkit/types.h"

namespace tev::python {
namespace {

struct ArchiveClass {
  using State = Buffer;
  static constexpr const char* kName = "Archive";
  static std::string repr_open(const State& s) { return "Archive(size=" + std::to_string(s.size()) + ")"; }
  static auto extract(const State& s, const std::string& base, const std::string& dest, const ExtractOptions& o) {
    return pbzx::extract_tree(s, base, dest, o);
  }
  // Entry names are the stored bytes: a base comes back as os.fsencode gives it.
  static std::optional<std::string> base_arg(PyObject* obj) { return arg_fs_name(obj, "base_path"); }
};
using State = ArchiveClass::State;
using pipeline::PipelineError;

PyTypeObject* g_type = nullptr;

template <class Bytes>
PyObject* bytes_of(const Bytes& v) {
  return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(v.data()), static_cast<Py_ssize_t>(v.size()));
}

PyObject* open(PyObject*, PyObject* args, PyObject* kwargs) {
  PyObject* path_obj = nullptr;
  if (!parse_args("open", args, kwargs, {"path"}, 1, &path_obj)) return nullptr;
  auto path = arg_str(path_obj, "path");
  if (!path) return nullptr;
  auto cpio = without_gil([&] { return pbzx::read_pbzx_file(*path); });
  if (!cpio) return raise_error(PipelineError(cpio.error()));
  return make_archive(std::move(*cpio));
}

PyObject* from_cpio(PyObject*, PyObject* args, PyObject* kwargs) {
  PyObject* data_obj = nullptr;
  if (!parse_args("from_cpio", args, kwargs, {"data"}, 1, &data_obj)) return nullptr;
  if (!PyBytes_Check(data_obj)) {
    PyErr_Format(PyExc_TypeError, "argument 'data' must be bytes, not %s", Py_TYPE(data_obj)->tp_name);
    return nullptr;
  }
  Buffer copy(static_cast<size_t>(PyBytes_GET_SIZE(data_obj)));
  if (!copy.empty()) std::memcpy(copy.data(), PyBytes_AS_STRING(data_obj), copy.size());
  return make_archive(std::move(copy));
}

// The archive's bytes never change, so listing and reading take shared
// access even while they run without the interpreter lock.
PyObject* list(PyObject* self, PyObject*) {
  return with_state<ArchiveClass>(self, Access::Shared, [](State& s) -> PyObject* {
    auto entries = without_gil([&] { return pbzx::list_entries(s); });
    if (!entries) return raise_error(PipelineError(entries.error()));
    return to_list(*entries, [](const auto& e) { return make_file_entry(e); });
  });
}

PyObject* extract_file(PyObject* self, PyObject* args, PyObject* kwargs) {
  PyObject* path_obj = nullptr;
  if (!parse_args("extract_file", args, kwargs, {"path"}, 1, &path_obj)) return nullptr;
  return with_state<ArchiveClass>(self, Access::Shared, [&](State& s) -> PyObject* {
    auto path = arg_fs_name(path_obj, "path");
    if (!path) return nullptr;
    auto data = without_gil([&] { return pbzx::find_file(s, *path); });
    if (!data) return raise_error(PipelineError(data.error()));
    return bytes_of(*data);
  });
}

PyObject* cpio_data(PyObject* self, PyObject*) {
  return with_state<ArchiveClass>(self, Access::Shared, [](State& s) { return bytes_of(s); });
}

PyObject* decompressed_size(PyObject* self, void*) {
  return with_state<ArchiveClass>(self, Access::Shared, [](State& s) { return to_python(uint64_t{s.size()}); });
}

PyMethodDef kMethods[] = {
    keyword_method("open", &open, "open(path)\n--\n\nOpen a PBZX file from disk.", METH_STATIC),
    keyword_method("from_cpio", &from_cpio, "from_cpio(data)\n--\n\nCreate an Archive from raw CPIO data.", METH_STATIC),
    no_args_method("list", &list, "list($self)\n--\n\nList all file entries in the archive."),
    keyword_method("extract_file", &extract_file,
                   "extract_file($self, path)\n--\n\nExtract a single file by path, returning its contents as bytes."),
    keyword_method("extract_all", &extract_all_method<ArchiveClass>, TEV_EXTRACT_ALL_DOC),
    keyword_method("extract_path", &extract_path_method<ArchiveClass>, TEV_EXTRACT_PATH_DOC),
    no_args_method("cpio_data", &cpio_data, "cpio_data($self)\n--\n\nGet the raw decompressed CPIO data."),
    enter_method<ArchiveClass>(),
    exit_method<ArchiveClass>(),
    kEndOfMethods,
};

PyGetSetDef kProperties[] = {
    {"decompressed_size", &decompressed_size, nullptr, "Size of the decompressed CPIO data.", nullptr},
    kEndOfProperties,
};

constexpr const char kDoc[] =
    "PBZX/CPIO payload archive.\n\nProvides access to the decompressed CPIO contents of a PBZX payload.\n\n"
    "Use as a context manager::\n\n    with tev.Archive.open(\"Payload\") as archive:\n"
    "        for entry in archive.list():\n            print(entry.path)";

}  // namespace

int add_archive(PyObject* module) {
  return add_type(module, "Archive", g_type,
                  [] { return make_handle_type<ArchiveClass>("_tev.Archive", kDoc, kMethods, kProperties); });
}

PyObject* make_archive(Buffer cpio) {
  return new_handle<ArchiveClass>(g_type, std::make_unique<State>(std::move(cpio)));
}

}  // namespace tev::python
