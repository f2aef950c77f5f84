#pragma once

#include <array>
#include <cstdint>
#include <expected>
#include <span>

#include "tev/common/byte_cursor.h"
#include "tev/common/byte_source.h"
#include "tev/hfsplus/hfs_error.h"

namespace tev::hfsplus {

inline constexpr uint16_t kSignatureHfsPlus = 0x482B;  // "H+"
inline constexpr uint16_t kSignatureHfsx = 0x4858;     // "HX"
inline constexpr uint64_t kVolumeHeaderOffset = 1024;
inline constexpr size_t kVolumeHeaderSize = 512;

// A run of allocation blocks.
struct ExtentDescriptor {
  uint32_t start_block = 0;
  uint32_t block_count = 0;
};

// A fork as the volume header and catalog file records store it: its size and
// its first eight extents; further ones live in the extents overflow file.
struct ForkData {
  static constexpr size_t kSize = 80;
  uint64_t logical_size = 0;
  uint32_t clump_size = 0;
  uint32_t total_blocks = 0;
  std::array<ExtentDescriptor, 8> extents{};
};

// Decodes 80 bytes; the caller has checked the length.
ForkData decode_fork_data(StructView<ForkData::kSize> bytes);
inline constexpr size_t kExtentRecordSize = 64;
std::array<ExtentDescriptor, 8> decode_extent_record(StructView<kExtentRecordSize> bytes);

struct VolumeHeader {
  uint16_t signature = 0;
  uint16_t version = 0;
  uint32_t file_count = 0;
  uint32_t folder_count = 0;
  uint32_t block_size = 0;
  uint32_t total_blocks = 0;
  uint32_t free_blocks = 0;
  ForkData extents_file;
  ForkData catalog_file;
  bool is_hfsx = false;
};

// Reads the header at byte 1024 and checks signature, version and block size.
std::expected<VolumeHeader, HfsError> read_volume_header(const ByteSource& source);

}  // namespace tev::hfsplus
