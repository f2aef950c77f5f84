// PkgRef: one package a Distribution refers to.
#include <fmt/format.h>

#include "tev/common/text.h"
#include "toolkit/types.h"
#include "toolkit/value_class.h"
#include "xar_values.h"

namespace tev::python {
namespace {

using xar::PkgRef;
PyTypeObject* g_type = nullptr;

PyObject* repr(PyObject* self) {
  const auto& r = value_of<PkgRef>(self);
  return repr_result(fmt::format("PkgRef(id={}, component={})", quoted_form(r.id),
                                 r.component ? quoted_form(*r.component) : "None"));
}

PyGetSetDef kFields[] = {
    field<&PkgRef::id>("id", "The package identifier."),
    field<&PkgRef::version>("version", "The package version, or None."),
    field<&PkgRef::install_kbytes>("install_kbytes", "Installed size in KiB, or None."),
    field<&PkgRef::component>("component", "The component directory the reference names, or None."),
    kEndOfFields,
};

}  // namespace

int add_pkg_ref(PyObject* module) {
  return add_type(module, "PkgRef", g_type, [] {
    return make_value_type<PkgRef>("_tev.PkgRef", "A package reference of a Distribution.", kFields, &repr);
  });
}

PyObject* make_pkg_ref(const PkgRef& value) { return new_value(g_type, value); }

}  // namespace tev::python
