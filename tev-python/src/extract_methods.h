// `extract_all(dest)` and `extract_path(base_path, dest)`, the same on every
// handle that writes a tree to disk. Traits name the class (toolkit/handle.h)
// and add:
//   static auto extract(State&, const std::string& base, const std::string& dest);
//       the library call, returning ExtractStats or a library error
//   static std::optional<std::string> base_arg(PyObject*);
//       how the base path argument is converted
#pragma once

#include <Python.h>

#include <string>

#include "error.h"
#include "extract_stats.h"
#include "toolkit/args.h"
#include "toolkit/gil.h"
#include "toolkit/handle.h"

namespace tev::python {

template <class Traits>
PyObject* extract_under(PyObject* self, const std::string& base, PyObject* dest_obj) {
  return with_state<Traits>(self, Access::Exclusive, [&](typename Traits::State& s) -> PyObject* {
    auto dest = arg_str(dest_obj, "dest");
    if (!dest) return nullptr;
    auto stats = without_gil([&] { return Traits::extract(s, base, *dest); });
    if (!stats) return raise_error(pipeline::PipelineError(stats.error()));
    return make_extract_stats(*stats);
  });
}

template <class Traits>
PyObject* extract_all_method(PyObject* self, PyObject* args, PyObject* kwargs) {
  PyObject* dest_obj = nullptr;
  if (!parse_args("extract_all", args, kwargs, {"dest"}, 1, &dest_obj)) return nullptr;
  return extract_under<Traits>(self, "/", dest_obj);
}

template <class Traits>
PyObject* extract_path_method(PyObject* self, PyObject* args, PyObject* kwargs) {
  PyObject* objs[2] = {nullptr, nullptr};
  if (!parse_args("extract_path", args, kwargs, {"base_path", "dest"}, 2, objs)) return nullptr;
  auto base = Traits::base_arg(objs[0]);
  if (!base) return nullptr;
  return extract_under<Traits>(self, *base, objs[1]);
}

}  // namespace tev::python
