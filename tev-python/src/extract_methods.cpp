#include "extract_methods.h"

namespace tev::python {

bool ExtractArgs::parse(PyObject* modes, PyObject* times, PyObject* symlinks, PyObject* progress_obj) {
  if (modes != nullptr) {
    auto v = arg_bool(modes, "modes");
    if (!v) return false;
    options.modes = *v;
  }
  if (times != nullptr) {
    auto v = arg_bool(times, "times");
    if (!v) return false;
    options.times = *v;
  }
  if (symlinks != nullptr) {
    auto v = arg_str(symlinks, "symlinks");
    if (!v) return false;
    if (*v == "skip") {
      options.symlinks = SymlinkPolicy::Skip;
    } else if (*v == "create") {
      options.symlinks = SymlinkPolicy::Create;
    } else {
      PyErr_SetString(PyExc_ValueError, "invalid symlinks value: expected 'skip' or 'create'");
      return false;
    }
  }
  if (!progress.set(progress_obj, "progress")) return false;
  options.progress = progress.fn();
  return true;
}

}  // namespace tev::python
