#include "tev/hfsplus/volume_header.h"

#include <bit>

#include "tev/common/byte_cursor.h"

namespace tev::hfsplus {

std::array<ExtentDescriptor, 8> decode_extent_record(std::span<const uint8_t> bytes) {
  std::array<ExtentDescriptor, 8> extents{};
  for (size_t i = 0; i < extents.size(); ++i) {
    extents[i].start_block = load_be<uint32_t>(bytes, 8 * i);
    extents[i].block_count = load_be<uint32_t>(bytes, 8 * i + 4);
  }
  return extents;
}

ForkData decode_fork_data(std::span<const uint8_t> bytes) {
  ForkData fork;
  fork.logical_size = load_be<uint64_t>(bytes, 0);
  fork.clump_size = load_be<uint32_t>(bytes, 8);
  fork.total_blocks = load_be<uint32_t>(bytes, 12);
  fork.extents = decode_extent_record(bytes.subspan(16, 64));
  return fork;
}

std::expected<VolumeHeader, HfsError> read_volume_header(const ByteSource& source) {
  std::array<uint8_t, kVolumeHeaderSize> raw{};
  if (auto r = source.read_exact_at(kVolumeHeaderOffset, raw); !r) return std::unexpected(r.error());
  std::span<const uint8_t> b(raw);
  VolumeHeader h;
  h.signature = load_be<uint16_t>(b, 0);
  if (h.signature != kSignatureHfsPlus && h.signature != kSignatureHfsx)
    return std::unexpected(HfsError::invalid_signature(h.signature));
  h.version = load_be<uint16_t>(b, 2);
  if (h.version != 4 && h.version != 5) return std::unexpected(HfsError::unsupported_version(h.version));
  h.is_hfsx = h.signature == kSignatureHfsx;
  h.file_count = load_be<uint32_t>(b, 32);
  h.folder_count = load_be<uint32_t>(b, 36);
  h.block_size = load_be<uint32_t>(b, 40);
  h.total_blocks = load_be<uint32_t>(b, 44);
  h.free_blocks = load_be<uint32_t>(b, 48);
  h.extents_file = decode_fork_data(b.subspan(192, ForkData::kSize));
  h.catalog_file = decode_fork_data(b.subspan(272, ForkData::kSize));
  // Every byte offset is block number x block size; a size of 0 or an odd one
  // is damage, not a layout to guess at.
  if (h.block_size < 512 || !std::has_single_bit(h.block_size))
    return std::unexpected(HfsError::corrupted("block size " + std::to_string(h.block_size) +
                                               " is not a power of two of at least 512"));
  return h;
}

}  // namespace tev::hfsplus
