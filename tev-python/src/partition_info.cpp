#include <fmt/format.h>

#include "dmg_values.h"
#include "tev/common/text.h"
#include "tev/pipeline/dmg_pipeline.h"
#include "toolkit/gil.h"
#include "toolkit/to_python.h"
#include "toolkit/types.h"
#include "toolkit/value_class.h"

namespace tev::python {
namespace {

using udif::PartitionSummary;
PyTypeObject* g_type = nullptr;

PyObject* repr(PyObject* self) {
  const auto& p = value_of<PartitionSummary>(self);
  return repr_result(fmt::format("PartitionInfo(name={}, id={}, size={}, type={})", quoted_form(p.name), p.id,
                                 p.size, quoted_form(p.partition_type)));
}

PyGetSetDef kFields[] = {
    field<&PartitionSummary::name>("name", "Partition name."),
    field<&PartitionSummary::id>("id", "Partition identifier."),
    field<&PartitionSummary::sectors>("sectors", "Size in 512-byte sectors."),
    field<&PartitionSummary::size>("size", "Size in bytes."),
    field<&PartitionSummary::compressed_size>("compressed_size", "Stored (compressed) size in bytes."),
    field<&PartitionSummary::partition_type>("partition_type", "\"Hfs\", \"Hfsx\", \"Apfs\" or \"Other\"."),
    field<&PartitionSummary::filesystem>("filesystem",
                                         "The file system its signature shows: \"hfsplus\", \"hfsx\", \"apfs\" or None."),
    kEndOfFields,
};

}  // namespace

int add_partition_info(PyObject* module) {
  return add_type(module, "PartitionInfo", g_type, [] {
    return make_value_type<PartitionSummary>("_tev.PartitionInfo", "Information about a DMG partition.", kFields,
                                             &repr);
  });
}

PyObject* make_partition_info(const PartitionSummary& value) { return new_value(g_type, value); }

PyObject* partition_infos(const udif::DmgImage& image) {
  // Telling the file systems decodes each partition's first runs.
  auto list = without_gil([&] {
    auto out = udif::partition_list(image);
    for (auto& p : out)
      if (auto sig = pipeline::partition_filesystem(image, p.id)) p.filesystem = pipeline::fs_signature_text(*sig);
    return out;
  });
  return to_list(list, [](const auto& p) { return make_partition_info(p); });
}

}  // namespace tev::python
