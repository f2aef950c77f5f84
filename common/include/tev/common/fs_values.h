#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace tev::fs {

// What every file-system reader reports about its entries, whatever the
// format: HFS+ and APFS fill the same four records.

enum class EntryKind { File = 0, Directory = 1, Symlink = 2 };
enum class FsType { HfsPlus, Apfs };

// "file", "directory", "symlink".
const char* entry_kind_text(EntryKind kind);
// "hfsplus", "apfs".
const char* fs_type_text(FsType type);
// "HfsPlus", "Apfs".
const char* fs_type_name(FsType type);

struct DirEntry {
  std::string name;
  EntryKind kind = EntryKind::File;
  uint64_t size = 0;
};

struct WalkEntry {
  std::string path;  // absolute, starting with "/"
  std::string name;
  EntryKind kind = EntryKind::File;
  uint64_t size = 0;
};

struct FileStat {
  FsType fs_type = FsType::HfsPlus;
  uint64_t id = 0;
  EntryKind kind = EntryKind::File;
  uint64_t size = 0;
  uint32_t uid = 0;
  uint32_t gid = 0;
  uint16_t mode = 0;
  int64_t create_time = 0;
  int64_t modify_time = 0;
  std::optional<uint32_t> nlink;
  std::optional<uint32_t> data_fork_extents;
  std::optional<uint64_t> resource_fork_size;
};

struct VolumeInfo {
  FsType fs_type = FsType::HfsPlus;
  uint32_t block_size = 0;
  uint64_t file_count = 0;
  uint64_t directory_count = 0;
  std::optional<std::string> name;
  std::optional<uint64_t> symlink_count;
  std::optional<uint32_t> total_blocks;
  std::optional<uint32_t> free_blocks;
  std::optional<uint16_t> version;
  std::optional<bool> is_hfsx;
};

}  // namespace tev::fs
