// PbzxWriter: writes a PBZX stream of xz-compressed chunks to a file.
#include <memory>

#include "archive.h"
#include "error.h"
#include "tev/pbzx/pbzx_writer.h"
#include "toolkit/args.h"
#include "toolkit/gil.h"
#include "toolkit/handle.h"
#include "toolkit/methods.h"
#include "toolkit/to_python.h"
#include "toolkit/types.h"

namespace tev::python {
namespace {

struct PbzxWriterClass {
  using State = pbzx::PbzxStreamWriter;
  static constexpr const char* kName = "PbzxWriter";
  static constexpr const char* kClosedMessage = "PbzxWriter already finished";
  static constexpr const char* kClosedRepr = "PbzxWriter(finished)";
  static std::string repr_open(const State&) { return "PbzxWriter(open)"; }
};
using State = PbzxWriterClass::State;
using pipeline::PipelineError;

PyTypeObject* g_type = nullptr;

PyObject* construct(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  PyObject* objs[3] = {nullptr, nullptr, nullptr};
  if (!parse_args("PbzxWriter", args, kwargs, {"path", "chunk_size", "compression_level"}, 1, objs)) return nullptr;
  auto path = arg_str(objs[0], "path");
  if (!path) return nullptr;
  uint64_t chunk_size = State::kDefaultChunkSize;
  if (objs[1] != nullptr && objs[1] != Py_None) {
    auto v = arg_u64(objs[1], "chunk_size");
    if (!v) return nullptr;
    chunk_size = *v;
  }
  uint32_t level = 6;
  if (objs[2] != nullptr && objs[2] != Py_None) {
    auto v = arg_u32(objs[2], "compression_level");
    if (!v) return nullptr;
    level = *v;
  }
  if (chunk_size == 0) {
    PyErr_SetString(PyExc_ValueError, "chunk size must be non-zero");
    return nullptr;
  }
  auto writer = State::create(*path, chunk_size, level);
  if (!writer) return raise_error(PipelineError(writer.error()));
  return new_handle<PbzxWriterClass>(type, std::make_unique<State>(std::move(*writer)));
}

PyObject* write_cpio(PyObject* self, PyObject* args, PyObject* kwargs) {
  PyObject* data_obj = nullptr;
  if (!parse_args("write_cpio", args, kwargs, {"data"}, 1, &data_obj)) return nullptr;
  return with_state<PbzxWriterClass>(self, Access::Exclusive, [&](State& s) -> PyObject* {
    auto data = arg_bytes(data_obj, "data");
    if (!data) return nullptr;
    if (auto r = without_gil([&] { return s.write_cpio(*data); }); !r) return raise_error(PipelineError(r.error()));
    Py_RETURN_NONE;
  });
}

// Takes the writer out of the object: it is finished even if closing fails.
PyObject* finish(PyObject* self, PyObject*) {
  std::unique_ptr<State> writer = take_state<PbzxWriterClass>(self);
  if (!writer) return nullptr;
  if (auto r = without_gil([&] { return writer->finish(); }); !r) return raise_error(PipelineError(r.error()));
  Py_RETURN_NONE;
}

PyObject* total_written(PyObject* self, void*) {
  return with_state<PbzxWriterClass>(self, Access::Shared, [](State& s) { return to_python(s.total_written()); });
}

PyMethodDef kMethods[] = {
    keyword_method("write_cpio", &write_cpio, "write_cpio($self, data)\n--\n\nWrite CPIO data to the PBZX archive."),
    no_args_method("finish", &finish, "finish($self)\n--\n\nFinalize the PBZX archive. Must be called when done writing."),
    kEndOfMethods,
};

PyGetSetDef kProperties[] = {
    {"total_written", &total_written, nullptr, "Total bytes written so far.", nullptr},
    kEndOfProperties,
};

constexpr const char kDoc[] = "PbzxWriter(path, chunk_size=None, compression_level=None)\n--\n\nPBZX archive writer.";

}  // namespace

int add_pbzx_writer(PyObject* module) {
  return add_type(module, "PbzxWriter", g_type, [] {
    return make_handle_type<PbzxWriterClass>("_tev.PbzxWriter", kDoc, kMethods, kProperties, &construct);
  });
}

}  // namespace tev::python
