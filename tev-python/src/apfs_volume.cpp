// ApfsVolume: the first volume of an APFS container in a raw partition image.
#include "apfs_volume.h"

#include "extract_methods.h"
#include "fs_volume.h"
#include "tev/apfs/apfs_reader.h"
#include "toolkit/methods.h"
#include "toolkit/types.h"

namespace tev::python {
namespace {

struct ApfsVolumeClass : FilesystemTraits {
  static constexpr const char* kName = "ApfsVolume";
  static inline PyTypeObject* type = nullptr;
  static std::string repr_open(const State&) { return "ApfsVolume(open)"; }
  static std::expected<State, apfs::ApfsError> open_reader(ByteSource source) {
    auto reader = apfs::open_container(std::move(source));
    if (!reader) return std::unexpected(reader.error());
    return State(std::move(*reader), false);
  }
};
using C = ApfsVolumeClass;

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
    keyword_method("extract_all", &extract_all_method<C>, TEV_EXTRACT_ALL_DOC),
    keyword_method("extract_path", &extract_path_method<C>, TEV_EXTRACT_PATH_DOC),
    kEndOfMethods,
};

PyGetSetDef kProperties[] = {
    {"volume_info", &volume_info_property<C>, nullptr, "Volume metadata.", nullptr},
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
