#include <fmt/format.h>

#include "archive.h"
#include "toolkit/types.h"
#include "toolkit/value_class.h"

namespace tev::python {
namespace {

// Statistics of a payload; registered for callers, returned by nothing yet.
struct PayloadStats {
  uint64_t chunk_count = 0, compressed_size = 0, uncompressed_size = 0;
  uint64_t file_count = 0, directory_count = 0, total_file_size = 0;
  double compression_ratio = 0, space_savings = 0;
};

PyTypeObject* g_type = nullptr;

PyObject* repr(PyObject* self) {
  const auto& s = value_of<PayloadStats>(self);
  return repr_result(fmt::format("ArchiveStats(chunks={}, files={}, dirs={}, ratio={:.2f})", s.chunk_count,
                                 s.file_count, s.directory_count, s.compression_ratio));
}

PyGetSetDef kFields[] = {
    field<&PayloadStats::chunk_count>("chunk_count", "Number of PBZX chunks."),
    field<&PayloadStats::compressed_size>("compressed_size", "Compressed size in bytes."),
    field<&PayloadStats::uncompressed_size>("uncompressed_size", "Decompressed size in bytes."),
    field<&PayloadStats::file_count>("file_count", "Number of regular files."),
    field<&PayloadStats::directory_count>("directory_count", "Number of directories."),
    field<&PayloadStats::total_file_size>("total_file_size", "Total size of the files in bytes."),
    field<&PayloadStats::compression_ratio>("compression_ratio", "Compressed size / decompressed size."),
    field<&PayloadStats::space_savings>("space_savings", "Space saved, in percent."),
    kEndOfFields,
};

}  // namespace

int add_archive_stats(PyObject* module) {
  return add_type(module, "ArchiveStats", g_type, [] {
    return make_value_type<PayloadStats>("_tev.ArchiveStats", "Statistics of a PBZX payload.", kFields, &repr);
  });
}

}  // namespace tev::python
