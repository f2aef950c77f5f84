// The structures of an opened container behind the reader.
#pragma once

#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "tev/apfs/apfs_error.h"
#include "tev/apfs/apfs_reader.h"
#include "tev/common/buffer.h"
#include "tev/common/byte_sink.h"
#include "tev/common/byte_source.h"
#include "tev/common/file_pieces.h"
#include "tev/common/fs_values.h"

#include "btree.h"
#include "records.h"
#include "superblock.h"

namespace tev::apfs {

struct ResolvedInode {
  uint64_t oid = 0;
  InodeValue inode;
};

// The first volume of an opened APFS container, as the structure decoders
// see it: blocks, nodes, object maps and file-system records, and the path
// queries the reader answers over them. Nodes, object-map translations and
// directory indexes are cached; the caches guard themselves.
class Container {
 public:
  using NodeRef = std::shared_ptr<const DecodedNode>;
  // Sees a record's key and value; returns false to stop.
  using RecordVisitor = std::function<std::expected<bool, ApfsError>(std::span<const uint8_t>, std::span<const uint8_t>)>;

  // Reads the container superblock (the newest of block 0 and the
  // checkpoint area), picks the first volume and finds its file-system tree.
  static std::expected<std::unique_ptr<Container>, ApfsError> open(ByteSource source);

  Container(Container&&) noexcept;
  Container& operator=(Container&&) noexcept;
  ~Container();

  const ByteSource& source() const { return *source_; }
  uint32_t block_size() const { return block_size_; }
  const VolumeSuperblock& volume() const { return volume_; }
  uint64_t root_tree() const { return root_tree_; }

  std::expected<std::vector<uint8_t>, ApfsError> read_block(uint64_t paddr) const;
  // A decoded node at a physical address, from the cache when it was read before.
  std::expected<NodeRef, ApfsError> node(uint64_t paddr) const;
  // The live mapping of oid in the object map whose tree root is `root`: the
  // entry with the greatest xid not above max_xid.
  std::expected<uint64_t, ApfsError> omap_lookup(uint64_t root, uint64_t oid, uint64_t max_xid) const;
  // A virtual object ID of the file-system tree through the volume's object map.
  std::expected<uint64_t, ApfsError> translate(uint64_t oid) const;

  std::expected<std::optional<std::vector<uint8_t>>, ApfsError> find_first(uint64_t oid, uint8_t type) const;
  std::expected<std::optional<std::vector<uint8_t>>, ApfsError> find_xattr(uint64_t oid, std::string_view name) const;
  // Visits every record keyed (oid, type), in tree order.
  std::expected<void, ApfsError> scan(uint64_t oid, uint8_t type, const RecordVisitor& visit) const;

  std::expected<InodeValue, ApfsError> inode_lookup(uint64_t oid) const;
  std::expected<ResolvedInode, ApfsError> resolve(std::string_view path) const;
  std::expected<std::string, ApfsError> stored_path(std::string_view path) const;
  std::expected<std::vector<ApfsDirEntry>, ApfsError> list_directory(std::string_view path) const;
  std::expected<fs::FileStat, ApfsError> stat(std::string_view path) const;
  std::expected<FileReadPlan, ApfsError> plan_file(std::string_view path) const;
  std::expected<void, ApfsError> read_planned(const FileReadPlan& plan, std::span<uint8_t> out) const;
  std::expected<uint64_t, ApfsError> read_planned(const FileReadPlan& plan, ByteSink& sink) const;
  std::expected<Buffer, ApfsError> read_file(std::string_view path) const;
  std::expected<std::vector<fs::WalkEntry>, ApfsError> walk() const;
  std::expected<bool, ApfsError> exists(std::string_view path) const;
  fs::VolumeInfo volume_info() const;

 private:
  Container();

  struct Caches;
  std::expected<std::vector<ApfsDirEntry>, ApfsError> list_entries(uint64_t directory_id) const;
  // The first directory entry of each name, by name, for path lookups.
  using DirectoryIndex = std::unordered_map<std::string, DirRecord>;
  std::expected<std::shared_ptr<const DirectoryIndex>, ApfsError> directory_index(uint64_t directory_id) const;
  std::expected<std::optional<DirRecord>, ApfsError> find_entry(uint64_t directory_id, std::string_view name) const;
  std::expected<std::vector<uint8_t>, ApfsError> symlink_target(uint64_t oid) const;

  std::unique_ptr<ByteSource> source_;
  uint32_t block_size_ = 0;
  VolumeSuperblock volume_;
  uint64_t volume_omap_root_ = 0;
  uint64_t root_tree_ = 0;
  std::unique_ptr<Caches> caches_;
};

}  // namespace tev::apfs
