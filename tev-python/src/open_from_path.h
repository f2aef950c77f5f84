// The body every handle's static `open(path)` shares.
#pragma once

#include <Python.h>

#include <expected>
#include <memory>
#include <utility>

#include "error.h"
#include "tev/common/byte_source.h"
#include "toolkit/args.h"
#include "toolkit/gil.h"
#include "toolkit/handle.h"

namespace tev::python {

// Opens the host file and makes the reader over it without the interpreter
// lock; `open_reader(ByteSource)` returns the handle's state or a library
// error that PipelineError wraps.
template <class Traits, class OpenReader>
PyObject* open_from_path(PyTypeObject* type, PyObject* args, PyObject* kwargs, OpenReader&& open_reader) {
  using State = typename Traits::State;
  PyObject* path_obj = nullptr;
  if (!parse_args("open", args, kwargs, {"path"}, 1, &path_obj)) return nullptr;
  auto path = arg_str(path_obj, "path");
  if (!path) return nullptr;
  auto reader = without_gil([&]() -> std::expected<State, pipeline::PipelineError> {
    auto source = ByteSource::open_file(*path);
    if (!source) return std::unexpected(pipeline::PipelineError(source.error()));
    auto opened = open_reader(std::move(*source));
    if (!opened) return std::unexpected(pipeline::PipelineError(opened.error()));
    return std::move(*opened);
  });
  if (!reader) return raise_error(reader.error());
  return new_handle<Traits>(type, std::make_unique<State>(std::move(*reader)));
}

}  // namespace tev::python
