#include <fmt/format.h>

#include "fs_values.h"
#include "tev/common/text.h"
#include "toolkit/types.h"
#include "toolkit/value_class.h"

namespace tev::python {
namespace {

using fs::VolumeInfo;
PyTypeObject* g_type = nullptr;

PyObject* repr(PyObject* self) {
  const auto& v = value_of<VolumeInfo>(self);
  return repr_result(fmt::format("VolumeInfo(fs_type={}, block_size={}, files={}, dirs={})",
                                 quoted_form(fs::fs_type_text(v.fs_type)), v.block_size, v.file_count,
                                 v.directory_count));
}

PyObject* fs_type(PyObject* self, void*) { return fs_type_to_python(value_of<VolumeInfo>(self).fs_type); }

PyGetSetDef kFields[] = {
    {"fs_type", &fs_type, nullptr, "\"hfsplus\" or \"apfs\".", nullptr},
    field<&VolumeInfo::block_size>("block_size", "Allocation block size in bytes."),
    field<&VolumeInfo::file_count>("file_count", "Number of files."),
    field<&VolumeInfo::directory_count>("directory_count", "Number of directories."),
    field<&VolumeInfo::name>("name", "Volume name, or None."),
    field<&VolumeInfo::symlink_count>("symlink_count", "Number of symbolic links, or None."),
    field<&VolumeInfo::total_blocks>("total_blocks", "Blocks in the volume, or None."),
    field<&VolumeInfo::free_blocks>("free_blocks", "Free blocks, or None."),
    field<&VolumeInfo::version>("version", "On-disk format version, or None."),
    field<&VolumeInfo::is_hfsx>("is_hfsx", "Whether the volume is HFSX, or None."),
    kEndOfFields,
};

}  // namespace

int add_volume_info(PyObject* module) {
  return add_type(module, "VolumeInfo", g_type, [] {
    return make_value_type<VolumeInfo>("_tev.VolumeInfo", "Metadata of a volume.", kFields, &repr);
  });
}

PyObject* make_volume_info(const VolumeInfo& value) { return new_value(g_type, value); }

}  // namespace tev::python
