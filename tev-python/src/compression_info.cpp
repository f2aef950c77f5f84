#include <fmt/format.h>

#include "dmg_values.h"
#include "toolkit/types.h"
#include "toolkit/value_class.h"

namespace tev::python {
namespace {

using udif::CompressionCounts;
PyTypeObject* g_type = nullptr;

PyObject* repr(PyObject* self) {
  const auto& c = value_of<CompressionCounts>(self);
  return repr_result(fmt::format("CompressionInfo(zlib={}, bzip2={}, lzfse={}, xz={}, raw={}, zero={})",
                                 c.zlib_blocks, c.bzip2_blocks, c.lzfse_blocks, c.xz_blocks, c.raw_blocks,
                                 c.zero_fill_blocks));
}

PyGetSetDef kFields[] = {
    field<&CompressionCounts::zero_fill_blocks>("zero_fill_blocks", "Zero-fill runs."),
    field<&CompressionCounts::raw_blocks>("raw_blocks", "Raw (uncompressed) runs."),
    field<&CompressionCounts::zlib_blocks>("zlib_blocks", "zlib runs."),
    field<&CompressionCounts::bzip2_blocks>("bzip2_blocks", "bzip2 runs."),
    field<&CompressionCounts::lzfse_blocks>("lzfse_blocks", "LZFSE runs."),
    field<&CompressionCounts::xz_blocks>("xz_blocks", "xz (LZMA) runs."),
    field<&CompressionCounts::adc_blocks>("adc_blocks", "ADC runs."),
    kEndOfFields,
};

}  // namespace

int add_compression_info(PyObject* module) {
  return add_type(module, "CompressionInfo", g_type, [] {
    return make_value_type<CompressionCounts>("_tev.CompressionInfo", "Counts of DMG runs by compression type.",
                                              kFields, &repr);
  });
}

PyObject* make_compression_info(const CompressionCounts& value) { return new_value(g_type, value); }

}  // namespace tev::python
