// DmgPipeline: from a DMG to the file system inside it in one call; and the
// module functions that go from a DMG to its packages.
#include <memory>
#include <optional>

#include "archive.h"
#include "dmg_values.h"
#include "error.h"
#include "pipeline_classes.h"
#include "tev/common/text.h"
#include "tev/pipeline/dmg_pipeline.h"
#include "tev/pipeline/packages.h"
#include "toolkit/args.h"
#include "toolkit/gil.h"
#include "toolkit/handle.h"
#include "toolkit/methods.h"
#include "toolkit/progress.h"
#include "toolkit/to_python.h"
#include "toolkit/types.h"

namespace tev::python {
namespace {

struct DmgPipelineClass {
  using State = udif::DmgImage;
  static constexpr const char* kName = "DmgPipeline";
  static std::string repr_open(const State&) { return "DmgPipeline(open)"; }
};
using C = DmgPipelineClass;
using State = C::State;
using pipeline::PipelineError;

PyTypeObject* g_type = nullptr;

PyObject* open_at(PyTypeObject* type, PyObject* args, PyObject* kwargs, const char* name) {
  PyObject* path_obj = nullptr;
  if (!parse_args(name, args, kwargs, {"path"}, 1, &path_obj)) return nullptr;
  auto path = arg_str(path_obj, "path");
  if (!path) return nullptr;
  auto image = without_gil([&] { return pipeline::open_pipeline(*path); });
  if (!image) return raise_error(image.error());
  return new_handle<C>(type, std::make_unique<State>(std::move(*image)));
}

PyObject* construct(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return open_at(type, args, kwargs, "DmgPipeline");
}

PyObject* open(PyObject*, PyObject* args, PyObject* kwargs) { return open_at(g_type, args, kwargs, "open"); }

PyObject* partitions(PyObject* self, void*) {
  return with_state<C>(self, Access::Shared, [](State& s) { return partition_infos(s); });
}

std::optional<pipeline::ExtractionMode> mode_arg(PyObject* obj) {
  if (obj == nullptr || obj == Py_None) return pipeline::ExtractionMode::TempFile;
  auto mode = arg_str(obj, "mode");
  if (!mode) return std::nullopt;
  if (*mode == "temp_file") return pipeline::ExtractionMode::TempFile;
  if (*mode == "in_memory") return pipeline::ExtractionMode::InMemory;
  std::string text = "invalid mode " + quoted_form(*mode) + ": expected 'temp_file' or 'in_memory'";
  PyErr_SetString(PyExc_ValueError, text.c_str());
  return std::nullopt;
}

PyObject* filesystem(PyObject* self, PyObject* args, PyObject* kwargs) {
  PyObject* objs[3] = {nullptr, nullptr, nullptr};
  if (!parse_args("filesystem", args, kwargs, {"mode", "partition", "progress"}, 0, 2, objs)) return nullptr;
  auto mode = mode_arg(objs[0]);
  if (!mode) return nullptr;
  pipeline::FilesystemRequest request{*mode, std::nullopt, nullptr};
  if (objs[1] != nullptr && objs[1] != Py_None) {
    auto id = arg_i32(objs[1], "partition");
    if (!id) return nullptr;
    request.partition = *id;
  }
  PyProgress progress;
  if (!progress.set(objs[2], "progress")) return nullptr;
  request.progress = progress.fn();
  return with_state<C>(self, Access::Exclusive, [&](State& s) -> PyObject* {
    auto fs = without_gil([&] { return pipeline::open_filesystem(s, request); });
    if (progress.raised()) return nullptr;
    if (!fs) return raise_error(fs.error());
    return make_filesystem_handle(std::move(*fs));
  });
}

PyMethodDef kMethods[] = {
    enter_method<C>(),
    exit_method<C>(),
    keyword_method("filesystem", &filesystem,
                   "filesystem($self, mode=None, partition=None, *, progress=None)\n--\n\n"
                   "Open the filesystem (auto-detects HFS+/APFS).\n\n"
                   "mode is None or \"temp_file\" (the partition is decoded into an anonymous temporary file)\n"
                   "or \"in_memory\"; partition chooses a partition by id instead of the automatic choice;\n"
                   "progress(done_bytes, total_bytes) is called while the partition is decoded."),
    kEndOfMethods,
};

PyGetSetDef kProperties[] = {
    {"partitions", &partitions, nullptr, "List partitions in the DMG.", nullptr},
    kEndOfProperties,
};

constexpr const char kDoc[] =
    "DmgPipeline(path)\n--\n\n"
    "High-level pipeline for reading DMG files.\n\nUse as a context manager::\n\n"
    "    with tev.open(\"installer.dmg\") as dmg:\n"
    "        with dmg.filesystem() as fs:\n"
    "            for entry in fs.walk():\n                print(entry.path)\n"
    "            fs.extract_all(\"out\")";

// The module functions open the image and its file system afresh each time
// and run without the interpreter lock.
PyObject* find_packages(PyObject*, PyObject* args, PyObject* kwargs) {
  PyObject* path_obj = nullptr;
  if (!parse_args("find_packages", args, kwargs, {"path"}, 1, &path_obj)) return nullptr;
  auto path = arg_str(path_obj, "path");
  if (!path) return nullptr;
  auto found = without_gil([&] { return pipeline::find_packages(*path); });
  if (!found) return raise_error(found.error());
  return to_python(*found);
}

PyObject* extract_pkg_payload(PyObject*, PyObject* args, PyObject* kwargs) {
  PyObject* objs[3] = {nullptr, nullptr, nullptr};
  if (!parse_args("extract_pkg_payload", args, kwargs, {"dmg_path", "pkg_path", "component"}, 3, objs)) return nullptr;
  auto dmg_path = arg_str(objs[0], "dmg_path");
  if (!dmg_path) return nullptr;
  auto pkg_path = arg_str(objs[1], "pkg_path");
  if (!pkg_path) return nullptr;
  auto component = arg_str(objs[2], "component");
  if (!component) return nullptr;
  auto cpio = without_gil([&] { return pipeline::extract_pkg_payload(*dmg_path, *pkg_path, *component); });
  if (!cpio) return raise_error(cpio.error());
  return make_archive(std::move(*cpio));
}

PyMethodDef kFunctions[] = {
    keyword_method("open", &open, "open(path)\n--\n\nOpen a DMG file for reading. Use as a context manager."),
    keyword_method("find_packages", &find_packages,
                   "find_packages(path)\n--\n\nFind all .pkg files inside a DMG.\n\n"
                   "Lists the regular files whose names end in \".pkg\" or \".mpkg\", in any case, in walk order."),
    keyword_method("extract_pkg_payload", &extract_pkg_payload,
                   "extract_pkg_payload(dmg_path, pkg_path, component)\n--\n\n"
                   "Extract a PKG payload from a DMG in one call."),
    kEndOfMethods,
};

}  // namespace

int add_dmg_pipeline(PyObject* module) {
  return add_type(module, "DmgPipeline", g_type,
                  [] { return make_handle_type<C>("_tev.DmgPipeline", kDoc, kMethods, kProperties, &construct); });
}

int add_pipeline_functions(PyObject* module) { return PyModule_AddFunctions(module, kFunctions); }

}  // namespace tev::python
