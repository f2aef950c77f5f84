// DmgArchive: direct access to a DMG's partitions, statistics and run counts.
#include <memory>

#include "dmg_archive.h"
#include "dmg_values.h"
#include "error.h"
#include "tev/common/byte_sink.h"
#include "tev/udif/extract.h"
#include "tev/udif/image.h"
#include "toolkit/args.h"
#include "toolkit/gil.h"
#include "toolkit/handle.h"
#include "toolkit/methods.h"
#include "toolkit/to_python.h"
#include "toolkit/types.h"

namespace tev::python {
namespace {

struct DmgArchiveClass {
  using State = udif::DmgImage;
  static constexpr const char* kName = "DmgArchive";
  static std::string repr_open(const State&) { return "DmgArchive(open)"; }
};
using State = DmgArchiveClass::State;
using pipeline::PipelineError;
using Choice = std::expected<int32_t, udif::DmgError>;

PyTypeObject* g_type = nullptr;

// Decodes the chosen partition straight into a new bytes object: the plan is
// made and the runs decoded without the interpreter lock, which is taken back
// only to allocate the object between the two.
template <class Choose>
PyObject* partition_bytes(const State& s, Choose&& choose) {
  auto plan = without_gil([&]() -> std::expected<udif::PartitionPlan, udif::DmgError> {
    auto id = choose(s);
    if (!id) return std::unexpected(id.error());
    return udif::plan_partition(s, *id);
  });
  if (!plan) return raise_error(PipelineError(plan.error()));
  if (plan->size > static_cast<uint64_t>(PY_SSIZE_T_MAX)) return PyErr_NoMemory();
  PyObject* bytes = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(plan->size));
  if (bytes == nullptr) return nullptr;
  std::span<uint8_t> out(reinterpret_cast<uint8_t*>(PyBytes_AS_STRING(bytes)), plan->size);
  auto done = without_gil([&] { return udif::decode_partition(s, *plan, out); });
  if (!done) {
    Py_DECREF(bytes);
    return raise_error(PipelineError(done.error()));
  }
  return bytes;
}

// The same bytes into a file, decoded and written a window of runs at a time.
template <class Choose>
PyObject* partition_to_file(const State& s, const std::string& path, Choose&& choose) {
  auto done = without_gil([&]() -> std::expected<void, udif::DmgError> {
    auto id = choose(s);
    if (!id) return std::unexpected(id.error());
    auto plan = udif::plan_partition(s, *id);
    if (!plan) return std::unexpected(plan.error());
    auto sink = FileSink::create(path);
    if (!sink) return std::unexpected(udif::DmgError(sink.error()));
    if (auto r = udif::decode_partition_to(s, *plan, *sink); !r) return r;
    if (auto r = sink->finish(); !r) return std::unexpected(udif::DmgError(r.error()));
    return {};
  });
  if (!done) return raise_error(PipelineError(done.error()));
  Py_RETURN_NONE;
}

// plan_partition reports a missing identifier itself.
auto by_id(int32_t id) {
  return [id](const State&) -> Choice { return id; };
}

Choice main_partition(const State& s) { return udif::select_main_partition(s); }

PyObject* open(PyObject*, PyObject* args, PyObject* kwargs) {
  PyObject* path_obj = nullptr;
  if (!parse_args("open", args, kwargs, {"path"}, 1, &path_obj)) return nullptr;
  auto path = arg_str(path_obj, "path");
  if (!path) return nullptr;
  auto image = without_gil([&] { return udif::open_dmg(*path); });
  if (!image) return raise_error(image.error());
  return new_handle<DmgArchiveClass>(g_type, std::make_unique<State>(std::move(*image)));
}

PyObject* stats(PyObject* self, void*) {
  return with_state<DmgArchiveClass>(self, Access::Shared,
                                     [](State& s) { return make_dmg_stats(udif::image_stats(s)); });
}

PyObject* compression_info(PyObject* self, void*) {
  return with_state<DmgArchiveClass>(self, Access::Shared,
                                     [](State& s) { return make_compression_info(udif::compression_counts(s)); });
}

PyObject* partitions(PyObject* self, void*) {
  return with_state<DmgArchiveClass>(self, Access::Shared, [](State& s) { return partition_infos(s); });
}

// Long operations hold exclusive access and run without the interpreter lock.
template <class F>
PyObject* long_operation(PyObject* self, F&& f) {
  return with_state<DmgArchiveClass>(self, Access::Exclusive, f);
}

PyObject* extract_partition(PyObject* self, PyObject* args, PyObject* kwargs) {
  PyObject* id_obj = nullptr;
  if (!parse_args("extract_partition", args, kwargs, {"id"}, 1, &id_obj)) return nullptr;
  return long_operation(self, [&](State& s) -> PyObject* {
    auto id = arg_i32(id_obj, "id");
    if (!id) return nullptr;
    return partition_bytes(s, by_id(*id));
  });
}

PyObject* extract_partition_by_name(PyObject* self, PyObject* args, PyObject* kwargs) {
  PyObject* name_obj = nullptr;
  if (!parse_args("extract_partition_by_name", args, kwargs, {"name"}, 1, &name_obj)) return nullptr;
  return long_operation(self, [&](State& s) -> PyObject* {
    auto name = arg_str(name_obj, "name");
    if (!name) return nullptr;
    return partition_bytes(s, [&](const State& st) { return udif::find_by_name(st, *name); });
  });
}

PyObject* extract_partition_to(PyObject* self, PyObject* args, PyObject* kwargs) {
  PyObject* objs[2] = {nullptr, nullptr};
  if (!parse_args("extract_partition_to", args, kwargs, {"id", "path"}, 2, objs)) return nullptr;
  return long_operation(self, [&](State& s) -> PyObject* {
    auto id = arg_i32(objs[0], "id");
    if (!id) return nullptr;
    auto path = arg_str(objs[1], "path");
    if (!path) return nullptr;
    return partition_to_file(s, *path, by_id(*id));
  });
}

PyObject* extract_main_partition(PyObject* self, PyObject*) {
  return long_operation(self, [&](State& s) { return partition_bytes(s, main_partition); });
}

PyObject* extract_main_partition_to(PyObject* self, PyObject* args, PyObject* kwargs) {
  PyObject* path_obj = nullptr;
  if (!parse_args("extract_main_partition_to", args, kwargs, {"path"}, 1, &path_obj)) return nullptr;
  return long_operation(self, [&](State& s) -> PyObject* {
    auto path = arg_str(path_obj, "path");
    if (!path) return nullptr;
    return partition_to_file(s, *path, main_partition);
  });
}

PyMethodDef kMethods[] = {
    keyword_method("open", &open, "open(path)\n--\n\nOpen a DMG file.", METH_STATIC),
    enter_method<DmgArchiveClass>(),
    exit_method<DmgArchiveClass>(),
    keyword_method("extract_partition", &extract_partition,
                   "extract_partition($self, id)\n--\n\nExtract a partition by ID, returning its data as bytes."),
    keyword_method("extract_partition_by_name", &extract_partition_by_name,
                   "extract_partition_by_name($self, name)\n--\n\n"
                   "Extract a partition by name, returning its data as bytes."),
    keyword_method("extract_partition_to", &extract_partition_to,
                   "extract_partition_to($self, id, path)\n--\n\nExtract a partition to a file on disk."),
    no_args_method("extract_main_partition", &extract_main_partition,
                   "extract_main_partition($self)\n--\n\nExtract the main partition, returning its data as bytes."),
    keyword_method("extract_main_partition_to", &extract_main_partition_to,
                   "extract_main_partition_to($self, path)\n--\n\nExtract the main partition to a file on disk."),
    kEndOfMethods,
};

PyGetSetDef kProperties[] = {
    {"stats", &stats, nullptr, "DMG statistics.", nullptr},
    {"compression_info", &compression_info, nullptr, "Compression block counts by type.", nullptr},
    {"partitions", &partitions, nullptr, "List partitions.", nullptr},
    kEndOfProperties,
};

constexpr const char kDoc[] =
    "Lower-level DMG archive reader.\n\nProvides direct partition access, stats, and compression info.\n\n"
    "Use as a context manager::\n\n    with tev.DmgArchive.open(\"file.dmg\") as archive:\n"
    "        print(archive.stats)\n        data = archive.extract_partition(0)";

}  // namespace

int add_dmg_archive(PyObject* module) {
  return add_type(module, "DmgArchive", g_type, [] {
    return make_handle_type<DmgArchiveClass>("_tev.DmgArchive", kDoc, kMethods, kProperties);
  });
}

}  // namespace tev::python
