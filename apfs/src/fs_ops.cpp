// Path resolution and the queries answered over the file-system tree.
#include <algorithm>
#include <cstring>

#include <fmt/format.h>

#include "tev/common/checked.h"
#include "tev/common/fs_walk.h"
#include "tev/common/path.h"

#include "caches.h"
#include "container.h"

namespace tev::apfs {

std::expected<InodeValue, ApfsError> Container::inode_lookup(uint64_t oid) const {
  auto value = find_first(oid, kInode);
  if (!value) return std::unexpected(value.error());
  if (!*value) return std::unexpected(ApfsError::file_not_found(fmt::format("inode OID {}", oid)));
  return decode_inode(**value);
}

// Names are matched exactly, whatever the volume's own case rules, and the
// first record of a name in tree order wins; a directory's records are read
// once and kept by name.
std::expected<std::shared_ptr<const Container::DirectoryIndex>, ApfsError> Container::directory_index(
    uint64_t directory_id) const {
  if (auto cached = caches_->directories.find(directory_id)) return *cached;
  auto index = std::make_shared<DirectoryIndex>();
  size_t cost = 0;
  auto r = scan(directory_id, kDirRecord,
                [&](std::span<const uint8_t> key, std::span<const uint8_t> value) -> std::expected<bool, ApfsError> {
                  auto name = decode_drec_name(key);
                  if (!name) return std::unexpected(name.error());
                  if (index->contains(*name)) return true;
                  auto record = decode_drec(key, value);
                  if (!record) return std::unexpected(record.error());
                  cost += name->size() + 64;
                  index->emplace(std::move(*name), std::move(*record));
                  return true;
                });
  if (!r) return std::unexpected(r.error());
  std::shared_ptr<const DirectoryIndex> shared = std::move(index);
  caches_->directories.insert(directory_id, shared, cost);
  return shared;
}

std::expected<std::optional<DirRecord>, ApfsError> Container::find_entry(uint64_t directory_id,
                                                                          std::string_view name) const {
  auto index = directory_index(directory_id);
  if (!index) return std::unexpected(index.error());
  auto it = (*index)->find(std::string(name));
  if (it == (*index)->end()) return std::nullopt;
  return it->second;
}

std::expected<ResolvedInode, ApfsError> Container::resolve(std::string_view path) const {
  auto parts = split_path(path);
  if (parts.empty()) {
    auto root = inode_lookup(kRootDirectoryId);
    if (!root) return std::unexpected(root.error());
    return ResolvedInode{kRootDirectoryId, *root};
  }
  uint64_t directory = kRootDirectoryId;
  for (size_t i = 0; i < parts.size(); ++i) {
    auto entry = find_entry(directory, parts[i]);
    if (!entry) return std::unexpected(entry.error());
    if (!*entry) return std::unexpected(ApfsError::file_not_found(std::string(parts[i])));
    if (i + 1 == parts.size()) {
      auto inode = inode_lookup((*entry)->file_id);
      if (!inode) return std::unexpected(inode.error());
      return ResolvedInode{(*entry)->file_id, *inode};
    }
    if ((*entry)->kind() != fs::EntryKind::Directory)
      return std::unexpected(ApfsError::not_a_directory(join_parts(parts, i)));
    directory = (*entry)->file_id;
  }
  return std::unexpected(ApfsError::file_not_found(std::string(path)));
}

std::expected<std::vector<ApfsDirEntry>, ApfsError> Container::list_entries(uint64_t directory_id) const {
  std::vector<ApfsDirEntry> out;
  auto r = scan(directory_id, kDirRecord,
                [&](std::span<const uint8_t> key, std::span<const uint8_t> value) -> std::expected<bool, ApfsError> {
                  auto record = decode_drec(key, value);
                  if (!record) return std::unexpected(record.error());
                  out.push_back({std::move(record->name), record->kind(), 0, record->file_id});
                  return true;
                });
  if (!r) return std::unexpected(r.error());
  // Sizes come from the inodes; an entry whose inode cannot be read is
  // damage, reported rather than listed with a size it does not have.
  for (auto& e : out) {
    auto inode = inode_lookup(e.oid);
    if (!inode) return std::unexpected(inode.error());
    e.size = inode->size;
  }
  return out;
}

std::expected<std::vector<ApfsDirEntry>, ApfsError> Container::list_directory(std::string_view path) const {
  if (path.empty() || path == "/") return list_entries(kRootDirectoryId);
  auto resolved = resolve(path);
  if (!resolved) return std::unexpected(resolved.error());
  if (!resolved->inode.is_directory()) return std::unexpected(ApfsError::not_a_directory(std::string(path)));
  return list_entries(resolved->oid);
}

std::expected<std::vector<uint8_t>, ApfsError> Container::symlink_target(uint64_t oid) const {
  auto found = find_xattr(oid, kSymlinkXattr);
  if (!found) return std::unexpected(found.error());
  if (!*found) return std::unexpected(ApfsError::file_not_found("symlink target"));
  auto data = decode_xattr(**found);
  if (!data) return std::unexpected(data.error());
  while (!data->empty() && data->back() == 0) data->pop_back();
  return std::move(*data);
}

std::expected<fs::FileStat, ApfsError> Container::stat(std::string_view path) const {
  auto resolved = resolve(path);
  if (!resolved) return std::unexpected(resolved.error());
  const InodeValue& inode = resolved->inode;
  fs::FileStat st;
  st.fs_type = fs::FsType::Apfs;
  st.id = resolved->oid;
  st.kind = inode.kind();
  st.size = inode.size;
  st.uid = inode.uid;
  st.gid = inode.gid;
  st.mode = inode.mode;
  st.create_time = inode.create_time;
  st.modify_time = inode.modify_time;
  st.nlink = inode.nlink;
  if (inode.is_symlink()) {
    auto target = symlink_target(resolved->oid);
    if (target)
      st.size = target->size();
    else if (target.error().kind() != ApfsError::Kind::FileNotFound)
      return std::unexpected(target.error());
  }
  return st;
}

// A file's pieces in logical order: its extents sorted by logical address,
// holes between them, and a hole for a tail no extent reaches (sparse files
// end in one as often as not). An extent at physical block 0 is a hole too:
// that is how APFS stores a sparse range.
std::expected<FileReadPlan, ApfsError> Container::plan_file(std::string_view path) const {
  auto resolved = resolve(path);
  if (!resolved) return std::unexpected(resolved.error());
  FileReadPlan plan;
  const InodeValue& inode = resolved->inode;
  if (inode.is_symlink()) {
    auto target = symlink_target(resolved->oid);
    if (target) {
      plan.length = target->size();
      plan.inline_data = std::move(*target);
      return plan;
    }
    if (target.error().kind() != ApfsError::Kind::FileNotFound) return std::unexpected(target.error());
  }
  uint64_t size = inode.size;
  std::vector<FileExtent> extents;
  auto r = scan(inode.private_id, kFileExtent,
                [&](std::span<const uint8_t> key, std::span<const uint8_t> value) -> std::expected<bool, ApfsError> {
                  auto extent = decode_extent(key, value);
                  if (!extent) return std::unexpected(extent.error());
                  extents.push_back(*extent);
                  return true;
                });
  if (!r) return std::unexpected(r.error());
  std::stable_sort(extents.begin(), extents.end(),
                   [](const FileExtent& a, const FileExtent& b) { return a.logical < b.logical; });
  auto add = [&](FilePiece piece) {
    add_piece(plan.pieces, piece);
    plan.length += piece.length;
  };
  uint64_t produced = 0;
  uint64_t device_size = source_->size();
  for (const auto& e : extents) {
    if (produced >= size) break;
    if (e.length == 0) continue;
    if (e.logical > produced) {
      uint64_t gap_end = std::min(size, e.logical);
      add({0, gap_end - produced, true});
      produced = gap_end;
      if (produced >= size) break;
    }
    uint64_t extent_end = e.logical + e.length < e.logical ? UINT64_MAX : e.logical + e.length;
    if (extent_end <= produced) continue;
    uint64_t skip = produced - e.logical;
    uint64_t length = std::min(extent_end - produced, size - produced);
    if (e.physical_block == 0) {
      add({0, length, true});
    } else {
      if (e.physical_block > UINT64_MAX / block_size_)
        return std::unexpected(ApfsError::corrupted(
            fmt::format("extent physical block {} overflows the device address space", e.physical_block)));
      uint64_t offset = e.physical_block * block_size_;
      // Data past the end of the container would fail when read; fail now,
      // before anything is allocated for it.
      if (!range_fits(offset, skip, device_size) || !range_fits(offset + skip, length, device_size))
        return std::unexpected(ApfsError(IoError::unexpected_eof()));
      add({offset + skip, length, false});
    }
    produced += length;
  }
  // A compressed file keeps its contents outside the data stream: it reads
  // as what is stored, not as zeros of its reported size.
  if (produced < size && !inode.is_compressed()) add({0, size - produced, true});
  if (plan.length > kMaxFileSize)
    return std::unexpected(ApfsError::corrupted(
        fmt::format("file {} declares {} bytes, more than the {} a file may hold", path, plan.length, kMaxFileSize)));
  return plan;
}

std::expected<void, ApfsError> Container::read_planned(const FileReadPlan& plan, std::span<uint8_t> out) const {
  if (!plan.inline_data.empty()) {
    if (out.size() != plan.inline_data.size())
      return std::unexpected(ApfsError(IoError::other("output of the wrong size")));
    std::memcpy(out.data(), plan.inline_data.data(), plan.inline_data.size());
    return {};
  }
  if (auto r = read_pieces(*source_, plan.pieces, out); !r) return std::unexpected(r.error());
  return {};
}

std::expected<uint64_t, ApfsError> Container::read_planned(const FileReadPlan& plan, ByteSink& sink) const {
  if (!plan.inline_data.empty()) {
    if (auto w = sink.write(plan.inline_data); !w) return std::unexpected(w.error());
    return plan.length;
  }
  auto produced = read_pieces(*source_, plan.pieces, sink);
  if (!produced) return std::unexpected(produced.error());
  return *produced;
}

std::expected<Buffer, ApfsError> Container::read_file(std::string_view path) const {
  auto plan = plan_file(path);
  if (!plan) return std::unexpected(plan.error());
  Buffer out(static_cast<size_t>(plan->length));
  if (auto r = read_planned(*plan, out); !r) return std::unexpected(r.error());
  return out;
}

std::expected<std::vector<fs::WalkEntry>, ApfsError> Container::walk() const {
  return fs::walk_tree<ApfsDirEntry, ApfsError>(
      kRootDirectoryId, [&](uint64_t id) { return list_entries(id); }, [](const ApfsDirEntry& e) { return e.oid; },
      [](uint64_t id) { return ApfsError::corrupted(fmt::format("directory {} appears twice in the tree", id)); });
}

std::expected<bool, ApfsError> Container::exists(std::string_view path) const {
  auto resolved = resolve(path);
  if (resolved) return true;
  // A path through a file or a link names nothing; only damage is an error.
  auto kind = resolved.error().kind();
  if (kind == ApfsError::Kind::FileNotFound || kind == ApfsError::Kind::NotADirectory) return false;
  return std::unexpected(resolved.error());
}

std::expected<std::string, ApfsError> Container::stored_path(std::string_view path) const {
  auto parts = split_path(path);
  std::string out;
  uint64_t directory = kRootDirectoryId;
  for (size_t i = 0; i < parts.size(); ++i) {
    auto entry = find_entry(directory, parts[i]);
    if (!entry) return std::unexpected(entry.error());
    if (!*entry) return std::unexpected(ApfsError::file_not_found(std::string(parts[i])));
    out += '/';
    out += (*entry)->name;
    if (i + 1 < parts.size() && (*entry)->kind() != fs::EntryKind::Directory)
      return std::unexpected(ApfsError::not_a_directory(join_parts(parts, i)));
    directory = (*entry)->file_id;
  }
  return out.empty() ? std::string("/") : out;
}

fs::VolumeInfo Container::volume_info() const {
  fs::VolumeInfo info;
  info.fs_type = fs::FsType::Apfs;
  info.block_size = block_size_;
  info.file_count = volume_.file_count;
  info.directory_count = volume_.directory_count;
  info.symlink_count = volume_.symlink_count;
  info.name = volume_.name;
  return info;
}

}  // namespace tev::apfs
