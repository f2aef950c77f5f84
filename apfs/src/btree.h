#pragma once

#include <compare>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <vector>

#include "tev/apfs/apfs_error.h"

namespace tev::apfs {

inline constexpr uint16_t kNodeRoot = 1;
inline constexpr uint16_t kNodeLeaf = 2;
inline constexpr uint16_t kNodeFixedKv = 4;
inline constexpr size_t kTreeInfoSize = 40;

struct TreeInfo {
  uint32_t flags = 0;
  uint32_t node_size = 0;
  uint32_t key_size = 0;
  uint32_t value_size = 0;
  uint32_t longest_key = 0;
  uint32_t longest_value = 0;
  uint64_t key_count = 0;
  uint64_t node_count = 0;
};

struct TocEntry {
  uint16_t key_offset = 0;
  uint16_t key_length = 0;
  uint16_t value_offset = 0;
  uint16_t value_length = 0;
};

// Fixed key and value sizes of a tree whose nodes have fixed-size entries.
struct FixedSizes {
  uint32_t key = 16;
  uint32_t value = 16;
};

struct DecodedNode {
  std::vector<uint8_t> bytes;
  uint16_t flags = 0;
  uint16_t level = 0;
  uint32_t key_count = 0;
  uint16_t table_offset = 0;
  uint16_t table_length = 0;
  std::optional<TreeInfo> info;
  std::vector<TocEntry> entries;
  size_t key_area_start = 0;
  size_t value_area_end = 0;

  bool is_leaf() const { return (flags & kNodeLeaf) != 0; }
  bool is_root() const { return (flags & kNodeRoot) != 0; }
  bool is_fixed() const { return (flags & kNodeFixedKv) != 0; }
  size_t size() const { return entries.size(); }
  // The fixed sizes a root node declares (16 and 16 when it says 0).
  FixedSizes fixed_sizes() const;
};

std::expected<DecodedNode, ApfsError> decode_node(std::vector<uint8_t> block);
std::expected<std::span<const uint8_t>, ApfsError> entry_key(const DecodedNode& node, size_t i, FixedSizes fixed);
std::expected<std::span<const uint8_t>, ApfsError> entry_value(const DecodedNode& node, size_t i, FixedSizes fixed);
std::expected<uint64_t, ApfsError> child_oid(const DecodedNode& node, size_t i, FixedSizes fixed);

// File-system tree keys: object ID (low 60 bits) and record type (top 4 bits).
inline constexpr uint64_t kOidMask = 0x0FFFFFFFFFFFFFFFull;
inline constexpr unsigned kTypeShift = 60;

enum RecordType : uint8_t { kInode = 3, kXattr = 4, kFileExtent = 8, kDirRecord = 9 };

// Record key against (oid, type); a key shorter than 8 bytes is less.
std::strong_ordering compare_fs_key(std::span<const uint8_t> key, uint64_t oid, uint8_t type);

}  // namespace tev::apfs
