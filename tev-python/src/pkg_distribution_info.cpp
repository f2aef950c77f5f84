// DistributionInfo: the product definition of a product package.
#include <fmt/format.h>

#include "tev/common/text.h"
#include "toolkit/to_python.h"
#include "toolkit/types.h"
#include "toolkit/value_class.h"
#include "xar_values.h"

namespace tev::python {
namespace {

using xar::DistributionInfo;
PyTypeObject* g_type = nullptr;

PyObject* repr(PyObject* self) {
  const auto& d = value_of<DistributionInfo>(self);
  return repr_result(fmt::format("DistributionInfo(title={}, pkg_refs={})",
                                 d.title ? quoted_form(*d.title) : "None", d.pkg_refs.size()));
}

PyObject* pkg_refs(PyObject* self, void*) { return to_list(value_of<DistributionInfo>(self).pkg_refs, &make_pkg_ref); }

PyGetSetDef kFields[] = {
    field<&DistributionInfo::title>("title", "The product's title, or None."),
    {"pkg_refs", &pkg_refs, nullptr, "The packages the product installs, as PkgRef, one per identifier.", nullptr},
    kEndOfFields,
};

}  // namespace

int add_distribution_info(PyObject* module) {
  return add_type(module, "DistributionInfo", g_type, [] {
    return make_value_type<DistributionInfo>("_tev.DistributionInfo", "A product package's Distribution, parsed.",
                                             kFields, &repr);
  });
}

PyObject* make_distribution_info(const DistributionInfo& value) { return new_value(g_type, value); }

}  // namespace tev::python
