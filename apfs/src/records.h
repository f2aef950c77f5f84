#pragma once

#include <compare>
#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "tev/apfs/apfs_error.h"
#include "tev/common/fs_values.h"

namespace tev::apfs {

inline constexpr uint64_t kRootDirectoryId = 2;
inline constexpr uint16_t kModeTypeMask = 0xF000;
inline constexpr uint16_t kModeDirectory = 0x4000;
inline constexpr uint16_t kModeSymlink = 0xA000;
inline constexpr uint32_t kBsdCompressed = 0x20;  // UF_COMPRESSED: contents kept in decmpfs
inline constexpr std::string_view kSymlinkXattr = "com.apple.fs.symlink";

struct InodeValue {
  uint64_t parent_id = 0;
  uint64_t private_id = 0;
  int64_t create_time = 0;
  int64_t modify_time = 0;
  int64_t change_time = 0;
  int64_t access_time = 0;
  uint64_t internal_flags = 0;
  uint32_t nlink = 0;  // link count, or child count for a directory
  uint32_t bsd_flags = 0;
  uint32_t uid = 0;
  uint32_t gid = 0;
  uint16_t mode = 0;
  uint64_t uncompressed_size = 0;
  uint64_t size = 0;  // the data stream's size when the inode has one, else uncompressed_size

  bool is_directory() const { return (mode & kModeTypeMask) == kModeDirectory; }
  bool is_symlink() const { return (mode & kModeTypeMask) == kModeSymlink; }
  bool is_compressed() const { return (bsd_flags & kBsdCompressed) != 0; }
  fs::EntryKind kind() const;
};

struct DirRecord {
  std::string name;
  uint64_t file_id = 0;
  uint16_t flags = 0;
  fs::EntryKind kind() const;  // from the low 4 bits of the flags
};

struct FileExtent {
  uint64_t logical = 0;
  uint64_t length = 0;
  uint64_t physical_block = 0;  // 0: a hole
};

std::expected<InodeValue, ApfsError> decode_inode(std::span<const uint8_t> value);
// The name of a directory-entry key.
std::expected<std::string, ApfsError> decode_drec_name(std::span<const uint8_t> key);
std::expected<DirRecord, ApfsError> decode_drec(std::span<const uint8_t> key, std::span<const uint8_t> value);
// The embedded data of an extended attribute.
std::expected<std::vector<uint8_t>, ApfsError> decode_xattr(std::span<const uint8_t> value);
std::expected<FileExtent, ApfsError> decode_extent(std::span<const uint8_t> key, std::span<const uint8_t> value);

// Extended-attribute key order: object ID, then record type, then the name
// bytes (with their terminating zero) against name + "\0".
std::strong_ordering compare_xattr_key(std::span<const uint8_t> key, uint64_t oid, std::string_view name);

}  // namespace tev::apfs
