#include "volume_header.h"

#include <bit>

#include "tev/common/byte_cursor.h"

namespace tev::hfsplus {

std::array<ExtentDescriptor, 8> decode_extent_record(StructView<kExtentRecordSize> bytes) {
  std::array<ExtentDescriptor, 8> extents{};
  ByteCursor c(bytes.all());
  for (auto& e : extents) {
    e.start_block = *c.u32be();  // 8 pairs of u32 fill the record exactly
    e.block_count = *c.u32be();
  }
  return extents;
}

ForkData decode_fork_data(StructView<ForkData::kSize> bytes) {
  ForkData fork;
  fork.logical_size = bytes.be<uint64_t, 0>();
  fork.clump_size = bytes.be<uint32_t, 8>();
  fork.total_blocks = bytes.be<uint32_t, 12>();
  fork.extents = decode_extent_record(bytes.sub<16, kExtentRecordSize>());
  return fork;
}

std::expected<VolumeHeader, HfsError> read_volume_header(const ByteSource& source) {
  std::array<uint8_t, kVolumeHeaderSize> raw{};
  if (auto r = source.read_exact_at(kVolumeHeaderOffset, raw); !r) return std::unexpected(r.error());
  StructView<kVolumeHeaderSize> b{std::span<const uint8_t, kVolumeHeaderSize>(raw)};
  VolumeHeader h;
  h.signature = b.be<uint16_t, 0>();
  if (h.signature != kSignatureHfsPlus && h.signature != kSignatureHfsx)
    return std::unexpected(HfsError::invalid_signature(h.signature));
  h.version = b.be<uint16_t, 2>();
  if (h.version != 4 && h.version != 5) return std::unexpected(HfsError::unsupported_version(h.version));
  h.is_hfsx = h.signature == kSignatureHfsx;
  h.file_count = b.be<uint32_t, 32>();
  h.folder_count = b.be<uint32_t, 36>();
  h.block_size = b.be<uint32_t, 40>();
  h.total_blocks = b.be<uint32_t, 44>();
  h.free_blocks = b.be<uint32_t, 48>();
  h.extents_file = decode_fork_data(b.sub<192, ForkData::kSize>());
  h.catalog_file = decode_fork_data(b.sub<272, ForkData::kSize>());
  // Every byte offset is block number x block size; a size of 0 or an odd one
  // is damage, not a layout to guess at.
  if (h.block_size < 512 || !std::has_single_bit(h.block_size))
    return std::unexpected(HfsError::corrupted("block size " + std::to_string(h.block_size) +
                                               " is not a power of two of at least 512"));
  return h;
}

}  // namespace tev::hfsplus
