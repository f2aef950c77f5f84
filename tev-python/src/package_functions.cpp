// The module functions that go from a DMG to its packages. Each opens the
// image and its file system afresh and runs without the interpreter lock.
#include "archive.h"
#include "error.h"
#include "pipeline_classes.h"
#include "tev/pipeline/packages.h"
#include "toolkit/args.h"
#include "toolkit/gil.h"
#include "toolkit/methods.h"
#include "toolkit/to_python.h"

namespace tev::python {
namespace {

PyObject* find_packages(PyObject*, PyObject* args, PyObject* kwargs) {
  PyObject* path_obj = nullptr;
  if (!parse_args("find_packages", args, kwargs, {"path"}, 1, &path_obj)) return nullptr;
  auto path = arg_str(path_obj, "path");
  if (!path) return nullptr;
  auto found = without_gil([&] { return pipeline::find_packages(*path); });
  if (!found) return raise_error(found.error());
  return to_python(*found);
}

PyObject* extract_pkg_payload(PyObject*, PyObject* args, PyObject* kwargs) {
  PyObject* objs[3] = {nullptr, nullptr, nullptr};
  if (!parse_args("extract_pkg_payload", args, kwargs, {"dmg_path", "pkg_path", "component"}, 3, objs)) return nullptr;
  auto dmg_path = arg_str(objs[0], "dmg_path");
  if (!dmg_path) return nullptr;
  auto pkg_path = arg_str(objs[1], "pkg_path");
  if (!pkg_path) return nullptr;
  auto component = arg_str(objs[2], "component");
  if (!component) return nullptr;
  auto cpio = without_gil([&] { return pipeline::extract_pkg_payload(*dmg_path, *pkg_path, *component); });
  if (!cpio) return raise_error(cpio.error());
  return make_archive(std::move(*cpio));
}

PyMethodDef kFunctions[] = {
    keyword_method("find_packages", &find_packages,
                   "find_packages(path)\n--\n\nFind all .pkg files inside a DMG.\n\n"
                   "Lists the regular files whose names end in \".pkg\" or \".mpkg\", in any case, in walk order."),
    keyword_method("extract_pkg_payload", &extract_pkg_payload,
                   "extract_pkg_payload(dmg_path, pkg_path, component)\n--\n\n"
                   "Extract a PKG payload from a DMG in one call."),
    kEndOfMethods,
};

}  // namespace

int add_package_functions(PyObject* module) { return PyModule_AddFunctions(module, kFunctions); }

}  // namespace tev::python
