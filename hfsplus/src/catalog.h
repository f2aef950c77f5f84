#pragma once

#include <compare>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "tev/common/fs_values.h"
#include "tev/hfsplus/hfs_error.h"

#include "volume_header.h"

namespace tev::hfsplus {

class Volume;

inline constexpr uint32_t kRootParentId = 1;
inline constexpr uint32_t kRootFolderId = 2;
inline constexpr uint32_t kExtentsFileId = 3;
inline constexpr uint32_t kCatalogFileId = 4;

// A catalog key decoded in place: the name stays in the record's bytes.
struct CatalogKey {
  uint32_t parent_id = 0;
  std::span<const uint8_t> name;  // UTF-16 big-endian code units
  size_t data_offset = 0;         // where the record data starts, 2 + key length rounded up to even
  size_t name_length() const { return name.size() / 2; }
  uint16_t unit(size_t i) const { return static_cast<uint16_t>((name[2 * i] << 8) | name[2 * i + 1]); }
  std::vector<uint16_t> name_units() const;
};

struct BsdInfo {
  uint32_t owner_id = 0;
  uint32_t group_id = 0;
  uint8_t admin_flags = 0;
  uint8_t owner_flags = 0;
  uint16_t file_mode = 0;
  uint32_t special = 0;  // the link's inode number for a hard link, the link count for an inode
};

struct CatalogDates {
  uint32_t create = 0;
  uint32_t content_modify = 0;
  uint32_t attribute_modify = 0;
  uint32_t access = 0;
  uint32_t backup = 0;
};

struct CatalogFolder {
  uint32_t valence = 0;
  uint32_t folder_id = 0;
  CatalogDates dates;
  BsdInfo bsd;
  uint32_t text_encoding = 0;
};

struct CatalogFile {
  uint32_t file_id = 0;
  CatalogDates dates;
  BsdInfo bsd;
  uint32_t file_type = 0;     // Finder type, 'hlnk' for a file hard link
  uint32_t file_creator = 0;  // Finder creator, 'hfs+' for a file hard link
  uint32_t text_encoding = 0;
  ForkData data_fork;
  ForkData resource_fork;
  bool is_hard_link() const;
  bool is_symlink() const { return (bsd.file_mode & 0xF000) == 0xA000; }
};

struct CatalogThread {
  bool is_folder = true;
  uint32_t parent_id = 0;
  std::vector<uint16_t> name_units;
};

using CatalogRecord = std::variant<CatalogFolder, CatalogFile, CatalogThread>;

struct CatalogSearchKey {
  uint32_t parent_id = 0;
  std::vector<uint16_t> name;
  bool is_hfsx = false;
};

// One entry of a folder listing.
struct HfsDirEntry {
  std::string name;
  fs::EntryKind kind = fs::EntryKind::File;
  uint64_t size = 0;
  uint32_t cnid = 0;
};

struct ResolvedPath {
  CatalogRecord record;
  std::string name;
};

// A record found by name, with the name as the volume stores it.
struct NamedRecord {
  CatalogRecord record;
  std::string name;
};

std::expected<CatalogKey, HfsError> decode_catalog_key(std::span<const uint8_t> record);
std::expected<CatalogRecord, HfsError> decode_catalog_record(std::span<const uint8_t> data);
// Record key against search key; a key that does not decode is less.
std::strong_ordering compare_catalog_key(std::span<const uint8_t> record, const CatalogSearchKey& key);

std::expected<std::optional<CatalogRecord>, HfsError> lookup(const Volume& reader, uint32_t parent_id,
                                                             std::string_view name);
std::expected<std::optional<NamedRecord>, HfsError> lookup_named(const Volume& reader, uint32_t parent_id,
                                                                  std::string_view name);
std::expected<std::vector<HfsDirEntry>, HfsError> list_folder(const Volume& reader, uint32_t folder_id);
std::expected<ResolvedPath, HfsError> resolve(const Volume& reader, std::string_view path);
// The path as the walk lists it, each component spelt as stored ("/" for the
// root), whatever case the caller typed on a case-folding volume.
std::expected<std::string, HfsError> stored_path(const Volume& reader, std::string_view path);

}  // namespace tev::hfsplus
