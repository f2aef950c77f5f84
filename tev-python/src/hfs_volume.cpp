// HfsVolume: an HFS+ or HFSX volume in a raw partition image.
#include "hfs_volume.h"

#include "extract_methods.h"
#include "fs_volume.h"
#include "tev/hfsplus/hfs_reader.h"
#include "toolkit/methods.h"
#include "toolkit/types.h"

namespace tev::python {
namespace {

struct HfsVolumeClass : FilesystemTraits {
  static constexpr const char* kName = "HfsVolume";
  static inline PyTypeObject* type = nullptr;
  static std::string repr_open(const State&) { return "HfsVolume(open)"; }
  static std::expected<State, hfsplus::HfsError> open_reader(ByteSource source) {
    auto reader = hfsplus::open_volume(std::move(source));
    if (!reader) return std::unexpected(reader.error());
    return State(std::move(*reader), false);
  }
};
using C = HfsVolumeClass;

PyMethodDef kMethods[] = {
    keyword_method("open", &volume_open<C>, "open(path)\n--\n\nOpen an HFS+ volume from a raw partition image.",
                   METH_STATIC),
    enter_method<C>(),
    exit_method<C>(),
    keyword_method("list_directory", &volume_list_directory<C>,
                   "list_directory($self, path)\n--\n\nList entries in a directory."),
    keyword_method("read_file", &volume_read_file<C>, "read_file($self, path)\n--\n\nRead a file into bytes."),
    keyword_method("stat", &volume_stat<C>, "stat($self, path)\n--\n\nGet file metadata."),
    no_args_method("walk", &volume_walk<C>, "walk($self)\n--\n\nWalk all entries in the volume."),
    keyword_method("exists", &volume_exists<C>, "exists($self, path)\n--\n\nCheck if a path exists."),
    keyword_method("extract_all", &extract_all_method<C>, TEV_EXTRACT_ALL_DOC),
    keyword_method("extract_path", &extract_path_method<C>, TEV_EXTRACT_PATH_DOC),
    kEndOfMethods,
};

PyGetSetDef kProperties[] = {
    {"volume_info", &volume_info_property<C>, nullptr, "Volume metadata.", nullptr},
    kEndOfProperties,
};

constexpr const char kDoc[] =
    "Standalone HFS+ volume reader for raw partition images.\n\nUse as a context manager::\n\n"
    "    with tev.HfsVolume.open(\"/path/to/partition.img\") as vol:\n"
    "        for entry in vol.list_directory(\"/\"):\n            print(entry.name)\n"
    "        data = vol.read_file(\"/some/file\")";

}  // namespace

int add_hfs_volume(PyObject* module) {
  return add_type(module, "HfsVolume", C::type,
                  [] { return make_handle_type<C>("_tev.HfsVolume", kDoc, kMethods, kProperties); });
}

}  // namespace tev::python
