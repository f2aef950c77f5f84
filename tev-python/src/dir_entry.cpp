#include <fmt/format.h>

#include "fs_values.h"
#include "tev/common/text.h"
#include "toolkit/types.h"
#include "toolkit/value_class.h"

namespace tev::python {
namespace {

using fs::DirEntry;
PyTypeObject* g_type = nullptr;

PyObject* repr(PyObject* self) {
  const auto& e = value_of<DirEntry>(self);
  return repr_result(fmt::format("DirEntry(name={}, kind={}, size={})", quoted_form(e.name),
                                 quoted_form(fs::entry_kind_text(e.kind)), e.size));
}

PyObject* kind(PyObject* self, void*) { return kind_to_python(value_of<DirEntry>(self).kind); }

PyGetSetDef kFields[] = {
    field<&DirEntry::name>("name", "The entry's name."),
    {"kind", &kind, nullptr, "\"file\", \"directory\" or \"symlink\".", nullptr},
    field<&DirEntry::size>("size", "The file's size in bytes; 0 for directories."),
    kEndOfFields,
};

}  // namespace

PyObject* kind_to_python(fs::EntryKind kind) { return PyUnicode_FromString(fs::entry_kind_text(kind)); }

PyObject* fs_type_to_python(fs::FsType type) { return PyUnicode_FromString(fs::fs_type_text(type)); }

int add_dir_entry(PyObject* module) {
  return add_type(module, "DirEntry", g_type, [] {
    return make_value_type<DirEntry>("_tev.DirEntry", "A directory entry.", kFields, &repr);
  });
}

PyObject* make_dir_entry(const DirEntry& value) { return new_value(g_type, value); }

}  // namespace tev::python
