// An opened volume as the structure decoders see it: its source, header,
// the catalog and extents overflow B-trees, and what queries remember.
#pragma once

#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <string_view>

#include "tev/common/byte_source.h"
#include "tev/hfsplus/hfs_error.h"

#include "btree.h"
#include "catalog.h"
#include "volume_header.h"

namespace tev::hfsplus {

class Volume {
 public:
  // Reads the volume header and both B-tree header nodes, and finds the
  // folder of hard-link inodes.
  static std::expected<std::unique_ptr<Volume>, HfsError> open(ByteSource source);

  Volume(const Volume&) = delete;
  Volume& operator=(const Volume&) = delete;
  ~Volume();

  const ByteSource& source() const { return source_; }
  const VolumeHeader& header() const { return header_; }
  bool is_hfsx() const { return header_.is_hfsx; }
  uint32_t block_size() const { return header_.block_size; }
  const BTree& catalog() const { return *catalog_; }
  const BTree& extents() const { return *extents_; }
  // The root folder's name, which macOS shows as the volume's.
  const std::optional<std::string>& name() const { return name_; }

  // The file a hard link stands for (the link itself when it is not one).
  std::expected<CatalogFile, HfsError> link_target(const CatalogFile& file) const;

  // Folders met while resolving paths, by the path that led to them, so that
  // reading every file of a tree does not look its parents up again. The
  // memo guards itself, like the B-trees' node caches.
  std::optional<uint32_t> cached_folder(std::string_view path) const;
  void remember_folder(std::string_view path, uint32_t folder_id) const;

 private:
  explicit Volume(ByteSource source);
  struct FolderCache;

  ByteSource source_;  // the B-trees read through it, so a Volume never moves
  VolumeHeader header_;
  std::unique_ptr<BTree> catalog_;
  std::unique_ptr<BTree> extents_;
  std::optional<uint32_t> private_data_folder_;
  std::optional<std::string> name_;
  std::unique_ptr<FolderCache> folders_;
};

}  // namespace tev::hfsplus
