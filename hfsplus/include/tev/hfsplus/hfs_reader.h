#pragma once

#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tev/common/buffer.h"
#include "tev/common/byte_sink.h"
#include "tev/common/byte_source.h"
#include "tev/common/fs_values.h"
#include "tev/hfsplus/btree.h"
#include "tev/hfsplus/catalog.h"
#include "tev/hfsplus/extents.h"
#include "tev/hfsplus/hfs_error.h"
#include "tev/hfsplus/volume_header.h"

namespace tev::hfsplus {

// A file ready to be read: where its data fork lies and how long it says it is.
struct FileReadPlan {
  std::string path;  // as the caller gave it, for the error text
  uint64_t declared_size = 0;
  std::vector<FilePiece> runs;
  uint64_t length = 0;  // what the runs hold; below declared_size when the extent chain ends early
};

// An opened HFS+ or HFSX volume. Queries do not change it; its B-tree nodes
// and the folders its paths lead through are cached, and the caches are safe
// to share between threads.
class HfsReader {
 public:
  HfsReader(HfsReader&&) noexcept;
  HfsReader& operator=(HfsReader&&) noexcept;
  ~HfsReader();

  const ByteSource& source() const { return *source_; }
  const VolumeHeader& header() const { return header_; }
  bool is_hfsx() const { return header_.is_hfsx; }
  uint32_t block_size() const { return header_.block_size; }
  const BTree& catalog() const { return *catalog_; }
  const BTree& extents() const { return *extents_; }
  // The folder holding the inodes of file hard links, when the volume has one.
  std::optional<uint32_t> private_data_folder() const { return private_data_folder_; }

  // Folders met while resolving paths, by the path that led to them, so that
  // reading every file of a tree does not look its parents up again.
  std::optional<uint32_t> cached_folder(std::string_view path) const;
  void remember_folder(std::string_view path, uint32_t folder_id) const;

  // The file a hard link stands for (the link itself when it is not one).
  std::expected<CatalogFile, HfsError> link_target(const CatalogFile& file) const;

  std::expected<std::vector<fs::DirEntry>, HfsError> list_directory(std::string_view path) const;
  std::expected<Buffer, HfsError> read_file(std::string_view path) const;
  std::expected<FileReadPlan, HfsError> plan_file(std::string_view path) const;
  // Reads a planned file into out (of plan.length bytes), then reports a
  // chain that ended before the declared size.
  std::expected<void, HfsError> read_planned(const FileReadPlan& plan, std::span<uint8_t> out) const;
  std::expected<uint64_t, HfsError> read_planned(const FileReadPlan& plan, ByteSink& sink) const;
  std::expected<fs::FileStat, HfsError> stat(std::string_view path) const;
  std::expected<std::vector<fs::WalkEntry>, HfsError> walk() const;
  std::expected<bool, HfsError> exists(std::string_view path) const;
  fs::VolumeInfo volume_info() const;

 private:
  friend std::expected<HfsReader, HfsError> open_volume(ByteSource source);
  HfsReader();

  struct FolderCache;
  std::unique_ptr<ByteSource> source_;
  VolumeHeader header_;
  std::unique_ptr<BTree> catalog_;
  std::unique_ptr<BTree> extents_;
  std::optional<uint32_t> private_data_folder_;
  std::unique_ptr<FolderCache> folders_;
};

// Reads the volume header and both B-tree header nodes. The source is
// released when opening fails.
std::expected<HfsReader, HfsError> open_volume(ByteSource source);

}  // namespace tev::hfsplus
