#pragma once

#include <array>
#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <vector>

#include "tev/common/byte_source.h"
#include "tev/udif/dmg_error.h"

namespace tev::udif {

inline constexpr uint64_t kSectorSize = 512;
inline constexpr size_t kTrailerSize = 512;

// A checksum field: type 2 is CRC-32, stored big-endian in the first four of
// the 128 value bytes.
struct UdifChecksum {
  static constexpr uint32_t kCrc32 = 2;
  uint32_t type = 0;
  uint32_t size = 0;
  std::array<uint8_t, 128> value{};

  uint32_t first_word() const;
  // True when the field carries a CRC-32 to verify.
  bool has_crc32() const { return type == kCrc32 && first_word() != 0; }
};

// The "koly" trailer in the last 512 bytes of the file (its layout is listed
// once, for reading and writing, beside the reader).
struct KolyTrailer {
  uint32_t version = 0;
  uint32_t header_size = 0;
  uint32_t flags = 0;
  uint64_t running_data_fork_offset = 0;
  uint64_t data_fork_offset = 0;
  uint64_t data_fork_length = 0;
  uint64_t resource_fork_offset = 0;
  uint64_t resource_fork_length = 0;
  uint32_t segment_number = 0;
  uint32_t segment_count = 0;
  std::array<uint8_t, 16> segment_id{};
  UdifChecksum data_checksum;
  uint64_t xml_offset = 0;
  uint64_t xml_length = 0;
  UdifChecksum master_checksum;
  uint32_t image_variant = 0;
  uint64_t sector_count = 0;
};

namespace run_type {
inline constexpr uint32_t kZeroFill = 0x00000000;
inline constexpr uint32_t kRaw = 0x00000001;
inline constexpr uint32_t kIgnore = 0x00000002;
inline constexpr uint32_t kAdc = 0x80000004;
inline constexpr uint32_t kZlib = 0x80000005;
inline constexpr uint32_t kBzip2 = 0x80000006;
inline constexpr uint32_t kLzfse = 0x80000007;
inline constexpr uint32_t kXz = 0x80000008;
inline constexpr uint32_t kComment = 0x7FFFFFFE;
inline constexpr uint32_t kTerminator = 0xFFFFFFFF;
}  // namespace run_type

// One run of a block table: a range of the partition's sectors and the
// stored bytes that make it.
struct BlockRun {
  uint32_t type = 0;
  uint32_t comment = 0;
  uint64_t sector_number = 0;  // relative to the partition's first sector
  uint64_t sector_count = 0;
  uint64_t compressed_offset = 0;  // relative to the data fork and the table's data offset
  uint64_t compressed_length = 0;
};

inline constexpr size_t kRunSize = 40;
inline constexpr size_t kBlockTableHeaderSize = 204;

// The "mish" block table of one partition.
struct BlockTable {
  uint32_t version = 0;
  uint64_t first_sector = 0;
  uint64_t sector_count = 0;
  uint64_t data_offset = 0;
  uint32_t buffers_needed = 0;
  uint32_t block_descriptors = 0;
  std::array<uint8_t, 24> reserved{};
  UdifChecksum checksum;
  std::vector<BlockRun> runs;
};

struct PartitionEntry {
  std::string name;
  int32_t id = 0;
  uint32_t attributes = 0;
  BlockTable table;
};

// An opened image: its file, trailer and partitions in file order.
struct DmgImage {
  ByteSource source;
  KolyTrailer trailer;
  std::vector<PartitionEntry> partitions;
};

// Opens a DMG: trailer, data checksum, resource map, master checksum.
std::expected<DmgImage, DmgError> open_dmg(const std::string& path);
std::expected<DmgImage, DmgError> open_dmg(ByteSource source);

std::expected<std::vector<PartitionEntry>, DmgError> parse_resource_map(std::span<const uint8_t> bytes);
std::expected<BlockTable, DmgError> parse_block_table(std::span<const uint8_t> bytes);
std::expected<BlockRun, DmgError> parse_block_run(std::span<const uint8_t> bytes);

// Parsing of the text fields of a partition dictionary.
int32_t parse_partition_id(std::string_view text);
uint32_t parse_partition_attributes(std::string_view text);

}  // namespace tev::udif
