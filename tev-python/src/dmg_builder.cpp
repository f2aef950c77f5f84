// DmgBuilder: collects named partitions and options, then writes a UDIF image.
#include <memory>
#include <optional>

#include <fmt/format.h>

#include "dmg_archive.h"
#include "error.h"
#include "tev/common/text.h"
#include "tev/udif/writer.h"
#include "toolkit/args.h"
#include "toolkit/gil.h"
#include "toolkit/handle.h"
#include "toolkit/methods.h"
#include "toolkit/to_python.h"
#include "toolkit/types.h"

namespace tev::python {
namespace {

struct BuilderState {
  udif::CompressionKind compression = udif::CompressionKind::Zlib;
  uint32_t compression_level = 6;
  std::optional<uint64_t> chunk_size;
  bool skip_checksums = false;
  std::vector<std::pair<std::string, std::vector<uint8_t>>> partitions;
};

// A builder never closes: its state is always present.
struct DmgBuilderClass {
  using State = BuilderState;
  static constexpr const char* kName = "DmgBuilder";
  static std::string repr_open(const State& s) {
    return fmt::format("DmgBuilder(compression={}, partitions={})",
                       quoted_form(udif::compression_name(s.compression)), s.partitions.size());
  }
};

PyTypeObject* g_type = nullptr;

PyObject* construct(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  if (!parse_args("DmgBuilder", args, kwargs, {}, 0, nullptr)) return nullptr;
  return new_handle<DmgBuilderClass>(type, std::make_unique<BuilderState>());
}

std::optional<udif::CompressionKind> compression_of(PyObject* value) {
  auto text = arg_str(value, "compression");
  if (!text) return std::nullopt;
  auto kind = udif::parse_compression(*text);
  if (!kind) {
    std::string message =
        fmt::format("invalid compression {}: expected 'raw', 'zlib', 'bzip2', or 'lzfse'", quoted_form(*text));
    PyErr_SetString(PyExc_ValueError, message.c_str());
  }
  return kind;
}

// Property setters take exclusive access; deleting a property is refused.
template <class F>
int set_property(PyObject* self, PyObject* value, const char* name, F&& f) {
  if (value == nullptr) {
    PyErr_Format(PyExc_TypeError, "cannot delete %s", name);
    return -1;
  }
  PyObject* r = with_state<DmgBuilderClass>(self, Access::Exclusive, [&](BuilderState& s) -> PyObject* {
    if (!f(s)) return nullptr;
    Py_RETURN_NONE;
  });
  if (r == nullptr) return -1;
  Py_DECREF(r);
  return 0;
}

template <class F>
PyObject* get_property(PyObject* self, F&& f) {
  return with_state<DmgBuilderClass>(self, Access::Shared, f);
}

PyObject* get_compression(PyObject* self, void*) {
  return get_property(self, [](BuilderState& s) { return to_python(std::string(udif::compression_name(s.compression))); });
}
int set_compression(PyObject* self, PyObject* value, void*) {
  return set_property(self, value, "compression", [&](BuilderState& s) {
    auto kind = compression_of(value);
    if (kind) s.compression = *kind;
    return kind.has_value();
  });
}

PyObject* get_level(PyObject* self, void*) {
  return get_property(self, [](BuilderState& s) { return to_python(s.compression_level); });
}
int set_level(PyObject* self, PyObject* value, void*) {
  return set_property(self, value, "compression_level", [&](BuilderState& s) {
    auto level = arg_u32(value, "compression_level");
    if (level) s.compression_level = *level;
    return level.has_value();
  });
}

PyObject* get_chunk_size(PyObject* self, void*) {
  return get_property(self, [](BuilderState& s) { return to_python(s.chunk_size); });
}
int set_chunk_size(PyObject* self, PyObject* value, void*) {
  return set_property(self, value, "chunk_size", [&](BuilderState& s) {
    auto size = arg_u64(value, "chunk_size");
    if (size) s.chunk_size = *size;
    return size.has_value();
  });
}

PyObject* get_skip(PyObject* self, void*) {
  return get_property(self, [](BuilderState& s) { return to_python(s.skip_checksums); });
}
int set_skip(PyObject* self, PyObject* value, void*) {
  return set_property(self, value, "skip_checksums", [&](BuilderState& s) {
    auto skip = arg_bool(value, "skip_checksums");
    if (skip) s.skip_checksums = *skip;
    return skip.has_value();
  });
}

PyObject* add_partition(PyObject* self, PyObject* args, PyObject* kwargs) {
  PyObject* objs[2] = {nullptr, nullptr};
  if (!parse_args("add_partition", args, kwargs, {"name", "data"}, 2, objs)) return nullptr;
  return with_state<DmgBuilderClass>(self, Access::Exclusive, [&](BuilderState& s) -> PyObject* {
    auto name = arg_str(objs[0], "name");
    if (!name) return nullptr;
    auto data = arg_bytes(objs[1], "data");
    if (!data) return nullptr;
    s.partitions.emplace_back(std::move(*name), std::move(*data));
    Py_RETURN_NONE;
  });
}

// Builds with shared access: the partitions cannot change meanwhile, so they
// are used in place rather than copied.
PyObject* build(PyObject* self, PyObject* args, PyObject* kwargs) {
  PyObject* path_obj = nullptr;
  if (!parse_args("build", args, kwargs, {"path"}, 1, &path_obj)) return nullptr;
  return with_state<DmgBuilderClass>(self, Access::Shared, [&](BuilderState& s) -> PyObject* {
    auto path = arg_str(path_obj, "path");
    if (!path) return nullptr;
    udif::WriterOptions options;
    options.compression = s.compression;
    options.level = s.compression_level;
    options.chunk_size = s.chunk_size.value_or(1048576);
    options.skip_checksums = s.skip_checksums;
    auto result = without_gil([&]() -> std::expected<void, udif::DmgError> {
      auto writer = udif::UdifWriter::create(*path, options);
      if (!writer) return std::unexpected(writer.error());
      for (const auto& [name, data] : s.partitions)
        if (auto r = writer->write_partition(name, data); !r) return r;
      return writer->finish();
    });
    if (!result) return raise_error(pipeline::PipelineError(result.error()));
    Py_RETURN_NONE;
  });
}

PyMethodDef kMethods[] = {
    keyword_method("add_partition", &add_partition,
                   "add_partition($self, name, data)\n--\n\nAdd a partition with the given name and data."),
    keyword_method("build", &build, "build($self, path)\n--\n\nBuild the DMG and write it to the given path."),
    kEndOfMethods,
};

PyGetSetDef kProperties[] = {
    {"compression", &get_compression, &set_compression,
     "Compression method: \"raw\", \"zlib\", \"bzip2\", or \"lzfse\".", nullptr},
    {"compression_level", &get_level, &set_level, "Compression level (0-9).", nullptr},
    {"chunk_size", &get_chunk_size, &set_chunk_size, "Chunk size in bytes (default: library default).", nullptr},
    {"skip_checksums", &get_skip, &set_skip, "Whether to skip checksum generation.", nullptr},
    kEndOfProperties,
};

constexpr const char kDoc[] =
    "DmgBuilder()\n--\n\nDMG file builder.\n\nExample::\n\n    builder = tev.DmgBuilder()\n"
    "    builder.compression = \"zlib\"\n    builder.add_partition(\"disk image\", partition_data)\n"
    "    builder.build(\"output.dmg\")";

}  // namespace

int add_dmg_builder(PyObject* module) {
  return add_type(module, "DmgBuilder", g_type, [] {
    return make_handle_type<DmgBuilderClass>("_tev.DmgBuilder", kDoc, kMethods, kProperties, &construct);
  });
}

}  // namespace tev::python
