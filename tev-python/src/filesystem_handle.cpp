// FilesystemHandle: the file system of a DMG, whichever it is and wherever
// its partition was decoded to.
#include <memory>
#include <optional>

#include "error.h"
#include "extract_methods.h"
#include "fs_values.h"
#include "fs_volume.h"
#include "pipeline_classes.h"
#include "tev/pipeline/extract_tree.h"
#include "tev/pipeline/packages.h"
#include "toolkit/args.h"
#include "toolkit/gil.h"
#include "toolkit/handle.h"
#include "toolkit/methods.h"
#include "toolkit/to_python.h"
#include "toolkit/types.h"
#include "xar_values.h"

namespace tev::python {
namespace {

struct FilesystemHandleClass : FilesystemTraits {
  static constexpr const char* kName = "FilesystemHandle";
  static inline PyTypeObject* type = nullptr;
  static std::string repr_open(const State& s) {
    return std::string("FilesystemHandle(") + fs::fs_type_name(s.fs_type()) + ", open)";
  }
};
using C = FilesystemHandleClass;
using State = C::State;

PyObject* fs_type(PyObject* self, void*) {
  return with_state<C>(self, Access::Shared, [](State& s) { return fs_type_to_python(s.fs_type()); });
}


PyObject* open_pkg(PyObject* self, PyObject* args, PyObject* kwargs) {
  PyObject* o[2] = {nullptr, nullptr};
  if (!parse_args("open_pkg", args, kwargs, {"pkg_path", "streaming"}, 1, o)) return nullptr;
  auto path = arg_str(o[0], "pkg_path");
  if (!path) return nullptr;
  bool streaming = false;
  if (o[1] != nullptr) {
    auto v = arg_bool(o[1], "streaming");
    if (!v) return nullptr;
    streaming = *v;
  }
  return with_state<C>(self, Access::Exclusive, [&](State& s) -> PyObject* {
    auto pkg = without_gil([&] { return pipeline::open_pkg(s, *path, streaming); });
    if (!pkg) return raise_error(pkg.error());
    return make_pkg_reader(std::move(*pkg));
  });
}

PyMethodDef kMethods[] = {
    enter_method<C>(),
    exit_method<C>(),
    keyword_method("list_directory", &volume_list_directory<C>,
                   "list_directory($self, path)\n--\n\nList entries in a directory."),
    keyword_method("read_file", &volume_read_file<C>, "read_file($self, path)\n--\n\nRead a file into bytes."),
    keyword_method("stat", &volume_stat<C>, "stat($self, path)\n--\n\nGet file metadata."),
    no_args_method("walk", &volume_walk<C>, "walk($self)\n--\n\nWalk all entries in the filesystem."),
    keyword_method("exists", &volume_exists<C>, "exists($self, path)\n--\n\nCheck if a path exists."),
    keyword_method("extract_all", &extract_all_method<C>, TEV_EXTRACT_ALL_DOC),
    keyword_method("extract_path", &extract_path_method<C>, TEV_EXTRACT_PATH_DOC),
    keyword_method("open_pkg", &open_pkg,
                   "open_pkg($self, pkg_path, streaming=False)\n--\n\nOpen a .pkg file from the filesystem.\n\n"
                   "streaming: If True, stream to temp file (lower memory). Default False."),
    kEndOfMethods,
};

PyGetSetDef kProperties[] = {
    {"fs_type", &fs_type, nullptr, "The filesystem type: \"hfsplus\" or \"apfs\".", nullptr},
    {"volume_info", &volume_info_property<C>, nullptr, "Volume metadata.", nullptr},
    kEndOfProperties,
};

constexpr const char kDoc[] = "Handle to an opened filesystem (HFS+ or APFS).";

}  // namespace

PyObject* make_filesystem_handle(pipeline::OpenedFilesystem fs) {
  return new_handle<C>(C::type, std::make_unique<State>(std::move(fs)));
}

int add_filesystem_handle(PyObject* module) {
  return add_type(module, "FilesystemHandle", C::type,
                  [] { return make_handle_type<C>("_tev.FilesystemHandle", kDoc, kMethods, kProperties); });
}

}  // namespace tev::python
