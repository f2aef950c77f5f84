#include "extract_stats.h"

#include <fmt/format.h>

#include "toolkit/types.h"
#include "toolkit/value_class.h"

namespace tev::python {
namespace {

PyTypeObject* g_type = nullptr;

PyObject* repr(PyObject* self) {
  const auto& s = value_of<ExtractStats>(self);
  return repr_result(fmt::format("ExtractStats(files={}, dirs={}, symlinks_skipped={}, bytes={})",
                                 s.files, s.dirs, s.symlinks_skipped, s.bytes));
}

PyGetSetDef kFields[] = {
    field<&ExtractStats::files>("files", "Regular files written."),
    field<&ExtractStats::dirs>("dirs", "Directories created or found present."),
    field<&ExtractStats::symlinks_skipped>("symlinks_skipped", "Symbolic links not created."),
    field<&ExtractStats::bytes>("bytes", "Total bytes of file content written."),
    field<&ExtractStats::symlinks>("symlinks_created", "Symbolic links created (with symlinks=\"create\")."),
    kEndOfFields,
};

}  // namespace

int add_extract_stats(PyObject* module) {
  return add_type(module, "ExtractStats", g_type, [] {
    return make_value_type<ExtractStats>("_tev.ExtractStats", "Statistics returned after extraction.",
                                         kFields, &repr);
  });
}

int adopt_extract_stats(PyObject* tev_module) {
  return adopt_type(tev_module, "ExtractStats", g_type);
}

PyObject* make_extract_stats(const ExtractStats& stats) { return new_value(g_type, stats); }

}  // namespace tev::python
