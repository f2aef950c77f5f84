#include <fmt/format.h>

#include "archive.h"
#include "file_entry.h"
#include "tev/common/text.h"
#include "toolkit/types.h"
#include "toolkit/value_class.h"

namespace tev::python {
namespace {

using pbzx::CpioEntry;
PyTypeObject* g_type = nullptr;

PyObject* repr(PyObject* self) {
  const auto& e = value_of<CpioEntry>(self);
  const char* kind = e.is_dir ? "dir" : e.is_symlink ? "symlink" : "file";
  return repr_result(fmt::format("FileEntry(path={}, kind={}, size={})", quoted_form(e.path), quoted_form(kind), e.size));
}

PyObject* path(PyObject* self, void*) { return fs_name_to_python(value_of<CpioEntry>(self).path); }

PyObject* link_target(PyObject* self, void*) {
  const auto& target = value_of<CpioEntry>(self).link_target;
  if (!target) Py_RETURN_NONE;
  return fs_name_to_python(*target);
}

PyGetSetDef kFields[] = {
    {"path", &path, nullptr, "Entry name exactly as stored, decoded as os.fsdecode does.", nullptr},
    field<&CpioEntry::size>("size", "Size of the entry's data in bytes."),
    field<&CpioEntry::mode>("mode", "Full mode field, file type bits included."),
    field<&CpioEntry::mtime>("mtime", "Modification time in seconds."),
    field<&CpioEntry::uid>("uid", "Owner's user id."),
    field<&CpioEntry::gid>("gid", "Owner's group id."),
    field<&CpioEntry::is_dir>("is_dir", "Whether the entry is a directory."),
    field<&CpioEntry::is_symlink>("is_symlink", "Whether the entry is a symbolic link."),
    {"link_target", &link_target, nullptr, "The link's target (decoded like the path), or None.", nullptr},
    kEndOfFields,
};

}  // namespace

int add_file_entry(PyObject* module) {
  return add_type(module, "FileEntry", g_type, [] {
    return make_value_type<CpioEntry>("_tev.FileEntry", "An entry of a CPIO archive.", kFields, &repr);
  });
}

PyObject* make_file_entry(const CpioEntry& entry) { return new_value(g_type, entry); }

}  // namespace tev::python
