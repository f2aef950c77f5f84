// XarFile: a snapshot of one entry of a XAR table of contents.
#include <fmt/format.h>

#include "tev/common/text.h"
#include "toolkit/types.h"
#include "toolkit/value_class.h"
#include "xar_values.h"

namespace tev::python {
namespace {

PyTypeObject* g_type = nullptr;

const char* kind_text(xar::EntryKind kind) {
  switch (kind) {
    case xar::EntryKind::File: return "file";
    case xar::EntryKind::Directory: return "directory";
    case xar::EntryKind::Symlink: return "symlink";
  }
  return "file";
}

PyObject* repr(PyObject* self) {
  const auto& f = value_of<XarFileValue>(self);
  return repr_result(fmt::format("XarFile(name={}, path={}, type={})", quoted_form(f.name), quoted_form(f.path),
                                 quoted_form(f.file_type)));
}

PyGetSetDef kFields[] = {
    field<&XarFileValue::name>("name", "The entry's name."),
    field<&XarFileValue::path>("path", "The entry's path from the top of the archive."),
    field<&XarFileValue::file_type>("file_type", "\"file\", \"directory\" or \"symlink\"."),
    field<&XarFileValue::link>("link", "The symlink's target, or None."),
    field<&XarFileValue::size>("size", "Decoded size in bytes, or None when the entry has no data."),
    field<&XarFileValue::compressed_size>("compressed_size", "Stored size in bytes, or None when the entry has no data."),
    field<&XarFileValue::mode>("mode", "Permission bits from the TOC, or None."),
    field<&XarFileValue::uid>("uid", "Owner's user id, or None."),
    field<&XarFileValue::gid>("gid", "Owner's group id, or None."),
    field<&XarFileValue::mtime>("mtime", "Modification time in seconds since 1970 (UTC), or None."),
    field<&XarFileValue::hardlink_target>("hardlink_target",
                                          "Path of the entry whose content this hard link shares, or None."),
    kEndOfFields,
};

}  // namespace

int add_xar_file(PyObject* module) {
  return add_type(module, "XarFile", g_type, [] {
    return make_value_type<XarFileValue>("_tev.XarFile", "An entry of a XAR archive.", kFields, &repr);
  });
}

PyObject* make_xar_file(const xar::XarReader& reader, const xar::TocEntry& e) {
  XarFileValue v;
  v.name = e.name;
  v.path = e.path;
  v.file_type = kind_text(e.kind);
  v.link = e.link;
  if (e.data) {
    v.size = e.data->size;
    v.compressed_size = e.data->length;
  }
  v.id = e.id;
  v.mode = e.mode;
  v.uid = e.uid;
  v.gid = e.gid;
  v.mtime = e.mtime;
  if (e.hardlink_target) v.hardlink_target = reader.entries()[*e.hardlink_target].path;
  return new_value(g_type, std::move(v));
}

}  // namespace tev::python
