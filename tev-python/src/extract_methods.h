// `extract_all(dest, *, ...)` and `extract_path(base_path, dest, *, ...)`, the
// same on every handle that writes a tree to disk, with the same keyword-only
// options: modes, times, symlinks ("skip" or "create") and progress. Traits
// name the class (toolkit/handle.h) and add:
//   static auto extract(State&, const std::string& base, const std::string& dest, const ExtractOptions&);
//       the library call, returning ExtractStats or a library error
//   static std::optional<std::string> base_arg(PyObject*);
//       how the base path argument is converted
#pragma once

#include <Python.h>

#include <string>

#include "error.h"
#include "extract_stats.h"
#include "tev/common/tree_extractor.h"
#include "toolkit/args.h"
#include "toolkit/gil.h"
#include "toolkit/handle.h"
#include "toolkit/progress.h"

namespace tev::python {

// The options as given, converted; the progress callback lives as long as
// the call.
struct ExtractArgs {
  ExtractOptions options;
  PyProgress progress;

  bool parse(PyObject* modes, PyObject* times, PyObject* symlinks, PyObject* progress_obj);
};

template <class Traits>
PyObject* extract_under(PyObject* self, const std::string& base, PyObject* dest_obj, ExtractArgs& extra) {
  return with_state<Traits>(self, Access::Exclusive, [&](typename Traits::State& s) -> PyObject* {
    auto dest = arg_str(dest_obj, "dest");
    if (!dest) return nullptr;
    auto stats = without_gil([&] { return Traits::extract(s, base, *dest, extra.options); });
    if (extra.progress.raised()) return nullptr;
    if (!stats) return raise_error(pipeline::PipelineError(stats.error()));
    return make_extract_stats(*stats);
  });
}

template <class Traits>
PyObject* extract_all_method(PyObject* self, PyObject* args, PyObject* kwargs) {
  PyObject* o[5] = {nullptr, nullptr, nullptr, nullptr, nullptr};
  if (!parse_args("extract_all", args, kwargs, {"dest", "modes", "times", "symlinks", "progress"}, 1, 1, o))
    return nullptr;
  ExtractArgs extra;
  if (!extra.parse(o[1], o[2], o[3], o[4])) return nullptr;
  return extract_under<Traits>(self, "/", o[0], extra);
}

template <class Traits>
PyObject* extract_path_method(PyObject* self, PyObject* args, PyObject* kwargs) {
  PyObject* o[6] = {nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};
  if (!parse_args("extract_path", args, kwargs, {"base_path", "dest", "modes", "times", "symlinks", "progress"}, 2,
                  2, o))
    return nullptr;
  auto base = Traits::base_arg(o[0]);
  if (!base) return nullptr;
  ExtractArgs extra;
  if (!extra.parse(o[2], o[3], o[4], o[5])) return nullptr;
  return extract_under<Traits>(self, *base, o[1], extra);
}

// The docstrings, one text for every class.
#define TEV_EXTRACT_OPTIONS_SIGNATURE "*, modes=False, times=False, symlinks='skip', progress=None"
#define TEV_EXTRACT_OPTIONS_DOC                                                                       \
  "\n\nmodes=True gives files and directories their permission bits (never setuid, setgid or\n"     \
  "sticky), times=True their modification times; symlinks=\"create\" creates symbolic links as\n" \
  "stored instead of skipping them (nothing is ever written through a link).\n"                     \
  "progress(done_bytes, total_bytes) is called at most every 100 ms; an exception it raises\n"      \
  "stops the extraction."
#define TEV_EXTRACT_ALL_DOC                                                            \
  "extract_all($self, dest, " TEV_EXTRACT_OPTIONS_SIGNATURE ")\n--\n\n"                \
  "Extract all files to a directory on disk." TEV_EXTRACT_OPTIONS_DOC
#define TEV_EXTRACT_PATH_DOC                                                                                   \
  "extract_path($self, base_path, dest, " TEV_EXTRACT_OPTIONS_SIGNATURE ")\n--\n\n"                            \
  "Extract files under a base path to a directory on disk.\nThe base prefix is stripped from output paths." \
  TEV_EXTRACT_OPTIONS_DOC

}  // namespace tev::python
