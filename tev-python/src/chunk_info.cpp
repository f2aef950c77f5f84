#include <fmt/format.h>

#include "dmg_values.h"
#include "toolkit/types.h"
#include "toolkit/value_class.h"

namespace tev::python {
namespace {

// One stored chunk of a DMG; registered for callers, returned by nothing yet.
struct ChunkSummary {
  uint64_t index = 0;
  uint64_t offset = 0;
  uint64_t compressed_size = 0;
  uint64_t uncompressed_size = 0;
  double compression_ratio = 0;
  bool is_compressed = false;
};

PyTypeObject* g_type = nullptr;

PyObject* repr(PyObject* self) {
  const auto& c = value_of<ChunkSummary>(self);
  return repr_result(fmt::format("ChunkInfo(index={}, compressed={}, uncompressed={}, ratio={:.2f})", c.index,
                                 c.compressed_size, c.uncompressed_size, c.compression_ratio));
}

PyGetSetDef kFields[] = {
    field<&ChunkSummary::index>("index", "Chunk index."),
    field<&ChunkSummary::offset>("offset", "Offset of the stored bytes."),
    field<&ChunkSummary::compressed_size>("compressed_size", "Stored size in bytes."),
    field<&ChunkSummary::uncompressed_size>("uncompressed_size", "Decoded size in bytes."),
    field<&ChunkSummary::compression_ratio>("compression_ratio", "Stored size / decoded size."),
    field<&ChunkSummary::is_compressed>("is_compressed", "Whether the chunk is compressed."),
    kEndOfFields,
};

}  // namespace

int add_chunk_info(PyObject* module) {
  return add_type(module, "ChunkInfo", g_type, [] {
    return make_value_type<ChunkSummary>("_tev.ChunkInfo", "Information about a DMG chunk.", kFields, &repr);
  });
}

}  // namespace tev::python
