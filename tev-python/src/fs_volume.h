#pragma once

// The methods HfsVolume, ApfsVolume and FilesystemHandle share: each holds
// one file system and answers the same questions. Traits derive from
// FilesystemTraits, name the class (see toolkit/handle.h) and add:
//   static inline PyTypeObject* type;                          the class object
//   static std::expected<State, E> open_reader(ByteSource);    opens the reader (volumes)
// Every query is a long call: it takes exclusive access and runs without the
// interpreter lock, which is held only to turn arguments and results into
// Python objects.
#include <Python.h>

#include <memory>
#include <span>
#include <string>

#include "error.h"
#include "fs_values.h"
#include "open_from_path.h"
#include "tev/common/byte_source.h"
#include "tev/pipeline/extract_tree.h"
#include "tev/pipeline/opened_filesystem.h"
#include "toolkit/args.h"
#include "toolkit/gil.h"
#include "toolkit/handle.h"
#include "toolkit/to_python.h"

namespace tev::python {

// The state of every class over one file system, and how it lists and
// extracts (for extract_methods.h).
struct FilesystemTraits {
  using State = pipeline::OpenedFilesystem;
  static PyObject* dir_entry(const fs::DirEntry& e) { return make_dir_entry(e); }
  static auto extract(const State& s, const std::string& base, const std::string& dest, const ExtractOptions& o) {
    return pipeline::extract_tree(s, base, dest, o);
  }
  static std::optional<std::string> base_arg(PyObject* obj) { return arg_str(obj, "base_path"); }
};

template <class Traits>
PyObject* volume_info_property(PyObject* self, void*) {
  return with_state<Traits>(self, Access::Shared,
                            [](typename Traits::State& s) { return make_volume_info(s.volume_info()); });
}

template <class Traits>
PyObject* volume_open(PyObject*, PyObject* args, PyObject* kwargs) {
  return open_from_path<Traits>(Traits::type, args, kwargs, &Traits::open_reader);
}

// The body of a method taking one path: converts it, then runs f(reader, path).
template <class Traits, class F>
PyObject* with_volume_path(PyObject* self, PyObject* args, PyObject* kwargs, const char* name, F&& f) {
  PyObject* path_obj = nullptr;
  if (!parse_args(name, args, kwargs, {"path"}, 1, &path_obj)) return nullptr;
  return with_state<Traits>(self, Access::Exclusive, [&](typename Traits::State& s) -> PyObject* {
    auto path = arg_str(path_obj, "path");
    if (!path) return nullptr;
    return f(s, *path);
  });
}

template <class Traits>
PyObject* volume_list_directory(PyObject* self, PyObject* args, PyObject* kwargs) {
  return with_volume_path<Traits>(self, args, kwargs, "list_directory", [](auto& s, const std::string& path) -> PyObject* {
    auto entries = without_gil([&] { return s.list_directory(path); });
    if (!entries) return raise_error(pipeline::PipelineError(entries.error()));
    return to_list(*entries, [](const auto& e) { return Traits::dir_entry(e); });
  });
}

// The file's bytes go straight into the bytes object, sized from the plan;
// the lock is taken back to make the object between the two steps. Reading a
// few kilobytes takes less time than giving the lock up and back, so small
// files are read with it held.
inline constexpr uint64_t kReadWithLockHeld = 64 << 10;

template <class Traits>
PyObject* volume_read_file(PyObject* self, PyObject* args, PyObject* kwargs) {
  return with_volume_path<Traits>(self, args, kwargs, "read_file", [](auto& s, const std::string& path) -> PyObject* {
    auto plan = without_gil([&] { return s.plan_file(path); });
    if (!plan) return raise_error(pipeline::PipelineError(plan.error()));
    PyObject* bytes = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(plan->length));
    if (bytes == nullptr) return nullptr;
    std::span<uint8_t> out(reinterpret_cast<uint8_t*>(PyBytes_AS_STRING(bytes)), static_cast<size_t>(plan->length));
    auto read = [&] { return s.read_planned(*plan, out); };
    if (auto r = plan->length <= kReadWithLockHeld ? read() : without_gil(read); !r) {
      Py_DECREF(bytes);
      return raise_error(pipeline::PipelineError(r.error()));
    }
    return bytes;
  });
}

template <class Traits>
PyObject* volume_stat(PyObject* self, PyObject* args, PyObject* kwargs) {
  return with_volume_path<Traits>(self, args, kwargs, "stat", [](auto& s, const std::string& path) -> PyObject* {
    auto st = without_gil([&] { return s.stat(path); });
    if (!st) return raise_error(pipeline::PipelineError(st.error()));
    return make_file_stat(*st);
  });
}

template <class Traits>
PyObject* volume_exists(PyObject* self, PyObject* args, PyObject* kwargs) {
  return with_volume_path<Traits>(self, args, kwargs, "exists", [](auto& s, const std::string& path) -> PyObject* {
    auto found = without_gil([&] { return s.exists(path); });
    if (!found) return raise_error(pipeline::PipelineError(found.error()));
    return to_python(*found);
  });
}

template <class Traits>
PyObject* volume_walk(PyObject* self, PyObject*) {
  return with_state<Traits>(self, Access::Exclusive, [](typename Traits::State& s) -> PyObject* {
    auto entries = without_gil([&] { return s.walk(); });
    if (!entries) return raise_error(pipeline::PipelineError(entries.error()));
    return to_list(*entries, &make_walk_entry);
  });
}

}  // namespace tev::python
