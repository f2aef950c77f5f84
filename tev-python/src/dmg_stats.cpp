#include <fmt/format.h>

#include "dmg_values.h"
#include "toolkit/types.h"
#include "toolkit/value_class.h"

namespace tev::python {
namespace {

using udif::ImageStats;
PyTypeObject* g_type = nullptr;

PyObject* repr(PyObject* self) {
  const auto& s = value_of<ImageStats>(self);
  return repr_result(fmt::format("DmgStats(partitions={}, uncompressed={}, compressed={}, ratio={:.2f})",
                                 s.partition_count, s.total_uncompressed, s.total_compressed, s.compression_ratio));
}

PyGetSetDef kFields[] = {
    field<&ImageStats::version>("version", "UDIF version from the trailer."),
    field<&ImageStats::sector_count>("sector_count", "Sector count from the trailer."),
    field<&ImageStats::partition_count>("partition_count", "Number of partitions."),
    field<&ImageStats::total_uncompressed>("total_uncompressed", "Total partition size in bytes."),
    field<&ImageStats::total_compressed>("total_compressed", "Total stored size in bytes."),
    field<&ImageStats::data_fork_length>("data_fork_length", "Data fork length in bytes."),
    field<&ImageStats::compression_ratio>("compression_ratio", "Stored size / partition size."),
    field<&ImageStats::space_savings>("space_savings", "Space saved, in percent."),
    kEndOfFields,
};

}  // namespace

int add_dmg_stats(PyObject* module) {
  return add_type(module, "DmgStats", g_type, [] {
    return make_value_type<ImageStats>("_tev.DmgStats", "DMG image statistics.", kFields, &repr);
  });
}

PyObject* make_dmg_stats(const ImageStats& value) { return new_value(g_type, value); }

}  // namespace tev::python
