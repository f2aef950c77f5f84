#include <fmt/format.h>

#include "fs_values.h"
#include "tev/common/text.h"
#include "toolkit/types.h"
#include "toolkit/value_class.h"

namespace tev::python {
namespace {

using fs::FileStat;
PyTypeObject* g_type = nullptr;

PyObject* repr(PyObject* self) {
  const auto& s = value_of<FileStat>(self);
  return repr_result(fmt::format("FileStat(kind={}, size={}, mode=0o{:o})", quoted_form(fs::entry_kind_text(s.kind)),
                                 s.size, s.mode));
}

PyObject* kind(PyObject* self, void*) { return kind_to_python(value_of<FileStat>(self).kind); }
PyObject* fs_type(PyObject* self, void*) { return fs_type_to_python(value_of<FileStat>(self).fs_type); }

PyGetSetDef kFields[] = {
    {"fs_type", &fs_type, nullptr, "\"hfsplus\" or \"apfs\".", nullptr},
    field<&FileStat::id>("id", "The file-system object ID."),
    {"kind", &kind, nullptr, "\"file\", \"directory\" or \"symlink\".", nullptr},
    field<&FileStat::size>("size", "Size in bytes."),
    field<&FileStat::uid>("uid", "Owner."),
    field<&FileStat::gid>("gid", "Group."),
    field<&FileStat::mode>("mode", "Unix mode including the file-type bits."),
    field<&FileStat::create_time>("create_time", "Creation time as stored by the file system."),
    field<&FileStat::modify_time>("modify_time", "Content modification time as stored by the file system."),
    field<&FileStat::nlink>("nlink", "Link count, or None."),
    field<&FileStat::data_fork_extents>("data_fork_extents", "Number of inline data-fork extents in use, or None."),
    field<&FileStat::resource_fork_size>("resource_fork_size", "Resource fork size in bytes, or None."),
    kEndOfFields,
};

}  // namespace

int add_file_stat(PyObject* module) {
  return add_type(module, "FileStat", g_type, [] {
    return make_value_type<FileStat>("_tev.FileStat", "Metadata of one path.", kFields, &repr);
  });
}

PyObject* make_file_stat(const FileStat& value) { return new_value(g_type, value); }

}  // namespace tev::python
