// FilesystemHandle: the file system of a DMG, whichever it is and wherever
// its partition was decoded to.
#include <memory>
#include <optional>

#include "error.h"
#include "extract_stats.h"
#include "fs_values.h"
#include "fs_volume.h"
#include "pipeline_classes.h"
#include "tev/pipeline/extract_tree.h"
#include "tev/pipeline/packages.h"
#include "toolkit/args.h"
#include "toolkit/gil.h"
#include "toolkit/handle.h"
#include "toolkit/methods.h"
#include "toolkit/progress.h"
#include "toolkit/to_python.h"
#include "toolkit/types.h"
#include "xar_values.h"

namespace tev::python {
namespace {

struct FilesystemHandleClass {
  using State = pipeline::OpenedFilesystem;
  static constexpr const char* kName = "FilesystemHandle";
  static inline PyTypeObject* type = nullptr;
  static std::string repr_open(const State& s) {
    return std::string("FilesystemHandle(") + fs::fs_type_name(s.fs_type()) + ", open)";
  }
  static PyObject* dir_entry(const fs::DirEntry& e) { return make_dir_entry(e); }
};
using C = FilesystemHandleClass;
using State = C::State;

PyObject* fs_type(PyObject* self, void*) {
  return with_state<C>(self, Access::Shared, [](State& s) { return fs_type_to_python(s.fs_type()); });
}

PyObject* volume_info(PyObject* self, void*) {
  return with_state<C>(self, Access::Shared, [](State& s) { return make_volume_info(s.volume_info()); });
}

// The keyword-only options every extraction takes.
struct ExtractArgs {
  pipeline::ExtractOptions options;
  PyProgress progress;

  bool parse(PyObject* modes, PyObject* times, PyObject* symlinks, PyObject* progress_obj) {
    if (modes != nullptr) {
      auto v = arg_bool(modes, "modes");
      if (!v) return false;
      options.modes = *v;
    }
    if (times != nullptr) {
      auto v = arg_bool(times, "times");
      if (!v) return false;
      options.times = *v;
    }
    if (symlinks != nullptr) {
      auto v = arg_str(symlinks, "symlinks");
      if (!v) return false;
      if (*v == "skip") {
        options.symlinks = pipeline::SymlinkPolicy::Skip;
      } else if (*v == "create") {
        options.symlinks = pipeline::SymlinkPolicy::Create;
      } else {
        PyErr_SetString(PyExc_ValueError, "invalid symlinks value: expected 'skip' or 'create'");
        return false;
      }
    }
    if (!progress.set(progress_obj, "progress")) return false;
    options.progress = progress.fn();
    return true;
  }
};

PyObject* extract(PyObject* self, const std::string& base, PyObject* dest_obj, ExtractArgs& extra) {
  return with_state<C>(self, Access::Exclusive, [&](State& s) -> PyObject* {
    auto dest = arg_str(dest_obj, "dest");
    if (!dest) return nullptr;
    auto stats = without_gil([&] { return pipeline::extract_tree(s, base, *dest, extra.options); });
    if (extra.progress.raised()) return nullptr;
    if (!stats) return raise_error(stats.error());
    return make_extract_stats(*stats);
  });
}

PyObject* extract_all(PyObject* self, PyObject* args, PyObject* kwargs) {
  PyObject* o[5] = {nullptr, nullptr, nullptr, nullptr, nullptr};
  if (!parse_args("extract_all", args, kwargs, {"dest", "modes", "times", "symlinks", "progress"}, 1, 1, o))
    return nullptr;
  ExtractArgs extra;
  if (!extra.parse(o[1], o[2], o[3], o[4])) return nullptr;
  return extract(self, "/", o[0], extra);
}

PyObject* extract_path(PyObject* self, PyObject* args, PyObject* kwargs) {
  PyObject* o[6] = {nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};
  if (!parse_args("extract_path", args, kwargs, {"base_path", "dest", "modes", "times", "symlinks", "progress"}, 2,
                  2, o))
    return nullptr;
  auto base = arg_str(o[0], "base_path");
  if (!base) return nullptr;
  ExtractArgs extra;
  if (!extra.parse(o[2], o[3], o[4], o[5])) return nullptr;
  return extract(self, *base, o[1], extra);
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
    keyword_method("extract_all", &extract_all,
                   "extract_all($self, dest, *, modes=False, times=False, symlinks='skip', progress=None)\n--\n\n"
                   "Extract all files to a directory on disk.\n\n"
                   "modes=True gives files and directories their permission bits (never setuid, setgid or\n"
                   "sticky), times=True their modification times; symlinks=\"create\" creates symbolic links as\n"
                   "stored instead of skipping them (nothing is ever written through a link).\n"
                   "progress(done_bytes, total_bytes) is called at most every 100 ms; an exception it raises\n"
                   "stops the extraction."),
    keyword_method("extract_path", &extract_path,
                   "extract_path($self, base_path, dest, *, modes=False, times=False, symlinks='skip', "
                   "progress=None)\n--\n\n"
                   "Extract files under a base path to a directory on disk.\nThe base prefix is stripped from "
                   "output paths.\n\n"
                   "modes=True gives files and directories their permission bits (never setuid, setgid or\n"
                   "sticky), times=True their modification times; symlinks=\"create\" creates symbolic links as\n"
                   "stored instead of skipping them (nothing is ever written through a link).\n"
                   "progress(done_bytes, total_bytes) is called at most every 100 ms; an exception it raises\n"
                   "stops the extraction."),
    keyword_method("open_pkg", &open_pkg,
                   "open_pkg($self, pkg_path, streaming=False)\n--\n\nOpen a .pkg file from the filesystem.\n\n"
                   "streaming: If True, stream to temp file (lower memory). Default False."),
    kEndOfMethods,
};

PyGetSetDef kProperties[] = {
    {"fs_type", &fs_type, nullptr, "The filesystem type: \"hfsplus\" or \"apfs\".", nullptr},
    {"volume_info", &volume_info, nullptr, "Volume metadata.", nullptr},
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
