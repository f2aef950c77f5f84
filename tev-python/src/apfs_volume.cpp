// ApfsVolume: the first volume of an APFS container in a raw partition image.
#include "apfs_volume.h"

#include "fs_volume.h"
#include "tev/apfs/apfs_reader.h"
#include "toolkit/methods.h"
#include "toolkit/types.h"

namespace tev::python {
namespace {

struct ApfsVolumeClass {
  using State = apfs::ApfsReader;
  static constexpr const char* kName = "ApfsVolume";
  static inline PyTypeObject* type = nullptr;
  static std::string repr_open(const State&) { return "ApfsVolume(open)"; }
  static auto open_reader(ByteSource source) { return apfs::open_container(std::move(source)); }
  static PyObject* dir_entry(const apfs::ApfsDirEntry& e) { return make_dir_entry({e.name, e.kind, e.size}); }
};
using C = ApfsVolumeClass;

PyObject* volume_info(PyObject* self, void*) {
  return with_state<C>(self, Access::Shared, [](C::State& s) { return make_volume_info(s.volume_info()); });
}

PyMethodDef kMethods[] = {
    keyword_method("open", &volume_open<C>, "open(path)\n--\n\nOpen an APFS volume from a raw partition image.",
                   METH_STATIC),
    enter_method<C>(),
    exit_method<C>(),
    keyword_method("list_directory", &volume_list_directory<C>,
                   "list_directory($self, path)\n--\n\nList entries in a directory."),
    keyword_method("read_file", &volume_read_file<C>, "read_file($self, path)\n--\n\nRead a file into bytes."),
    keyword_method("stat", &volume_stat<C>, "stat($self, path)\n--\n\nGet file metadata."),
    no_args_method("walk", &volume_walk<C>, "walk($self)\n--\n\nWalk all entries in the volume."),
    keyword_method("exists", &volume_exists<C>, "exists($self, path)\n--\n\nCheck if a path exists."),
    kEndOfMethods,
};

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
  return add_type(module, "ApfsVolume", C::type,
                  [] { return make_handle_type<C>("_tev.ApfsVolume", kDoc, kMethods, kProperties); });
}

}  // namespace tev::python
