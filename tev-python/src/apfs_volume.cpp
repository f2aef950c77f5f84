// ApfsVolume: the first volume of an APFS container in a raw partition image.
#include <memory>

#include "error.h"
#include "fs_values.h"
#include "tev/apfs/apfs_reader.h"
#include "toolkit/args.h"
#include "toolkit/handle.h"
#include "toolkit/methods.h"
#include "toolkit/to_python.h"
#include "toolkit/types.h"

namespace tev::python {
namespace {

struct ApfsVolumeClass {
  using State = apfs::ApfsReader;
  static constexpr const char* kName = "ApfsVolume";
  static std::string repr_open(const State&) { return "ApfsVolume(open)"; }
};
using State = ApfsVolumeClass::State;
using pipeline::PipelineError;

PyTypeObject* g_type = nullptr;

PyObject* open(PyObject*, PyObject* args, PyObject* kwargs) {
  PyObject* path_obj = nullptr;
  if (!parse_args("open", args, kwargs, {"path"}, 1, &path_obj)) return nullptr;
  auto path = arg_str(path_obj, "path");
  if (!path) return nullptr;
  auto source = ByteSource::open_file(*path);
  if (!source) return raise_error(PipelineError(source.error()));
  auto reader = apfs::open_container(std::move(*source));
  if (!reader) return raise_error(PipelineError(reader.error()));
  return new_handle<ApfsVolumeClass>(g_type, std::make_unique<State>(std::move(*reader)));
}

// The body of a method taking one path: converts it, then runs f(reader, path).
template <class F>
PyObject* with_path(PyObject* self, PyObject* args, PyObject* kwargs, const char* name, F&& f) {
  PyObject* path_obj = nullptr;
  if (!parse_args(name, args, kwargs, {"path"}, 1, &path_obj)) return nullptr;
  return with_state<ApfsVolumeClass>(self, Access::Exclusive, [&](State& s) -> PyObject* {
    auto path = arg_str(path_obj, "path");
    if (!path) return nullptr;
    return f(s, *path);
  });
}

PyObject* list_directory(PyObject* self, PyObject* args, PyObject* kwargs) {
  return with_path(self, args, kwargs, "list_directory", [](State& s, const std::string& path) -> PyObject* {
    auto entries = s.list_directory(path);
    if (!entries) return raise_error(PipelineError(entries.error()));
    return to_list(*entries, [](const apfs::ApfsDirEntry& e) { return make_dir_entry({e.name, e.kind, e.size}); });
  });
}

PyObject* read_file(PyObject* self, PyObject* args, PyObject* kwargs) {
  return with_path(self, args, kwargs, "read_file", [](State& s, const std::string& path) -> PyObject* {
    auto plan = s.plan_file(path);
    if (!plan) return raise_error(PipelineError(plan.error()));
    PyObject* bytes = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(plan->length));
    if (bytes == nullptr) return nullptr;
    std::span<uint8_t> out(reinterpret_cast<uint8_t*>(PyBytes_AS_STRING(bytes)), static_cast<size_t>(plan->length));
    if (auto r = s.read_planned(*plan, out); !r) {
      Py_DECREF(bytes);
      return raise_error(PipelineError(r.error()));
    }
    return bytes;
  });
}

PyObject* stat(PyObject* self, PyObject* args, PyObject* kwargs) {
  return with_path(self, args, kwargs, "stat", [](State& s, const std::string& path) -> PyObject* {
    auto st = s.stat(path);
    if (!st) return raise_error(PipelineError(st.error()));
    return make_file_stat(*st);
  });
}

PyObject* exists(PyObject* self, PyObject* args, PyObject* kwargs) {
  return with_path(self, args, kwargs, "exists", [](State& s, const std::string& path) -> PyObject* {
    auto found = s.exists(path);
    if (!found) return raise_error(PipelineError(found.error()));
    return to_python(*found);
  });
}

PyObject* walk(PyObject* self, PyObject*) {
  return with_state<ApfsVolumeClass>(self, Access::Exclusive, [](State& s) -> PyObject* {
    auto entries = s.walk();
    if (!entries) return raise_error(PipelineError(entries.error()));
    return to_list(*entries, &make_walk_entry);
  });
}

PyMethodDef kMethods[] = {
    keyword_method("open", &open, "open(path)\n--\n\nOpen an APFS volume from a raw partition image.", METH_STATIC),
    enter_method<ApfsVolumeClass>(),
    exit_method<ApfsVolumeClass>(),
    keyword_method("list_directory", &list_directory, "list_directory($self, path)\n--\n\nList entries in a directory."),
    keyword_method("read_file", &read_file, "read_file($self, path)\n--\n\nRead a file into bytes."),
    keyword_method("stat", &stat, "stat($self, path)\n--\n\nGet file metadata."),
    no_args_method("walk", &walk, "walk($self)\n--\n\nWalk all entries in the volume."),
    keyword_method("exists", &exists, "exists($self, path)\n--\n\nCheck if a path exists."),
    kEndOfMethods,
};

PyObject* volume_info(PyObject* self, void*) {
  return with_state<ApfsVolumeClass>(self, Access::Shared, [](State& s) { return make_volume_info(s.volume_info()); });
}

PyGetSetDef kProperties[] = {
    {"volume_info", &volume_info, nullptr, "Volume metadata.", nullptr},
    kEndOfProperties,
};

constexpr const char kDoc[] =
    "Standalone APFS volume reader for raw partition images.\n\nUse as a context manager::\n\n"
    "    with tev.ApfsVolume.open(\"/path/to/partition.img\") as vol:\n"
    "        for entry in vol.list_directory(\"/\"):\n            print(entry.name)\n"
    "        data = vol.read_file(\"/some/file\")";

}  // namespace

int add_apfs_volume(PyObject* module) {
  return add_type(module, "ApfsVolume", g_type,
                  [] { return make_handle_type<ApfsVolumeClass>("_tev.ApfsVolume", kDoc, kMethods, kProperties); });
}

}  // namespace tev::python
