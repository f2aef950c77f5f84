#include <fmt/format.h>

#include "fs_values.h"
#include "tev/common/text.h"
#include "toolkit/types.h"
#include "toolkit/value_class.h"

namespace tev::python {
namespace {

using fs::WalkEntry;
PyTypeObject* g_type = nullptr;

PyObject* repr(PyObject* self) {
  const auto& e = value_of<WalkEntry>(self);
  return repr_result(fmt::format("WalkEntry(path={}, kind={}, size={})", quoted_form(e.path),
                                 quoted_form(fs::entry_kind_text(e.kind)), e.size));
}

PyObject* kind(PyObject* self, void*) { return kind_to_python(value_of<WalkEntry>(self).kind); }

PyGetSetDef kFields[] = {
    field<&WalkEntry::path>("path", "Absolute path of the entry, starting with \"/\"."),
    field<&WalkEntry::name>("name", "The entry's name."),
    {"kind", &kind, nullptr, "\"file\", \"directory\" or \"symlink\".", nullptr},
    field<&WalkEntry::size>("size", "The file's size in bytes; 0 for directories."),
    kEndOfFields,
};

}  // namespace

int add_walk_entry(PyObject* module) {
  return add_type(module, "WalkEntry", g_type, [] {
    return make_value_type<WalkEntry>("_tev.WalkEntry", "An entry met by a walk of a file system.", kFields,
                                      &repr);
  });
}

PyObject* make_walk_entry(const WalkEntry& value) { return new_value(g_type, value); }

}  // namespace tev::python
