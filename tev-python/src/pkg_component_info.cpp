// ComponentInfo: what a component's PackageInfo declares.
#include <fmt/format.h>

#include "tev/common/text.h"
#include "toolkit/py_ref.h"
#include "toolkit/types.h"
#include "toolkit/value_class.h"
#include "xar_values.h"

namespace tev::python {
namespace {

using xar::ComponentInfo;
PyTypeObject* g_type = nullptr;

PyObject* repr(PyObject* self) {
  const auto& c = value_of<ComponentInfo>(self);
  return repr_result(fmt::format("ComponentInfo(component={}, identifier={}, version={})", quoted_form(c.component),
                                 c.identifier ? quoted_form(*c.identifier) : "None",
                                 c.version ? quoted_form(*c.version) : "None"));
}

// {phase: file}, in the order the PackageInfo lists them.
PyObject* scripts(PyObject* self, void*) {
  PyRef dict(PyDict_New());
  if (!dict) return nullptr;
  for (const auto& s : value_of<ComponentInfo>(self).scripts) {
    PyRef key(to_python(s.phase)), value(to_python(s.file));
    if (!key || !value || PyDict_SetItem(dict.get(), key.get(), value.get()) != 0) return nullptr;
  }
  return dict.release();
}

PyGetSetDef kFields[] = {
    field<&ComponentInfo::component>("component", "The component's name in the package (\"\" for the top level)."),
    field<&ComponentInfo::identifier>("identifier", "The package identifier, or None."),
    field<&ComponentInfo::version>("version", "The package version, or None."),
    field<&ComponentInfo::install_location>("install_location", "Where the payload installs, or None."),
    field<&ComponentInfo::auth>("auth", "The authorization the installer asks for (\"root\", \"none\"), or None."),
    field<&ComponentInfo::payload_file_count>("payload_file_count", "Number of files in the payload, or None."),
    field<&ComponentInfo::install_kbytes>("install_kbytes", "Installed size in KiB, or None."),
    {"scripts", &scripts, nullptr, "The install scripts as {phase: file}.", nullptr},
    kEndOfFields,
};

}  // namespace

int add_component_info(PyObject* module) {
  return add_type(module, "ComponentInfo", g_type, [] {
    return make_value_type<ComponentInfo>("_tev.ComponentInfo", "A component's PackageInfo, parsed.", kFields,
                                          &repr);
  });
}

PyObject* make_component_info(const ComponentInfo& value) { return new_value(g_type, value); }

}  // namespace tev::python
