// File-system records: inodes, directory entries, attributes, file extents.
#include "tev/apfs/records.h"

#include <algorithm>

#include <fmt/format.h>

#include "tev/apfs/btree.h"
#include "tev/common/byte_cursor.h"
#include "tev/common/text.h"

namespace tev::apfs {
namespace {

constexpr size_t kInodeSize = 92;
constexpr uint8_t kFieldDataStream = 8;
constexpr uint16_t kDrecTypeDirectory = 4;
constexpr uint16_t kDrecTypeSymlink = 10;
constexpr uint16_t kXattrDataStream = 1;

// The data stream's size among the inode's extended fields, if it has one.
std::optional<uint64_t> data_stream_size(std::span<const uint8_t> v) {
  if (v.size() < 96) return std::nullopt;
  size_t count = load_le<uint16_t>(v, 92);
  size_t after = v.size() - 92;
  if (count == 0 || 4 + 4 * count > after) return std::nullopt;
  size_t data = 92 + 4 + 4 * count;
  for (size_t i = 0; i < count; ++i) {
    size_t at = 96 + 4 * i;
    if (at + 4 > v.size()) break;
    uint8_t type = v[at];
    size_t size = load_le<uint16_t>(v, at + 2);
    if (type == kFieldDataStream && size >= 8 && data + 8 <= v.size()) return load_le<uint64_t>(v, data);
    data += (size + 7) / 8 * 8;
  }
  return std::nullopt;
}

fs::EntryKind kind_of_mode(uint16_t mode) {
  switch (mode & kModeTypeMask) {
    case kModeDirectory: return fs::EntryKind::Directory;
    case kModeSymlink: return fs::EntryKind::Symlink;
    default: return fs::EntryKind::File;
  }
}

}  // namespace

fs::EntryKind InodeValue::kind() const { return kind_of_mode(mode); }

fs::EntryKind DirRecord::kind() const {
  switch (flags & 0xF) {
    case kDrecTypeDirectory: return fs::EntryKind::Directory;
    case kDrecTypeSymlink: return fs::EntryKind::Symlink;
    default: return fs::EntryKind::File;
  }
}

std::expected<InodeValue, ApfsError> decode_inode(std::span<const uint8_t> v) {
  if (v.size() < kInodeSize) return std::unexpected(ApfsError::too_short("inode value", v.size()));
  InodeValue inode;
  inode.parent_id = load_le<uint64_t>(v, 0);
  inode.private_id = load_le<uint64_t>(v, 8);
  inode.create_time = static_cast<int64_t>(load_le<uint64_t>(v, 16));
  inode.modify_time = static_cast<int64_t>(load_le<uint64_t>(v, 24));
  inode.change_time = static_cast<int64_t>(load_le<uint64_t>(v, 32));
  inode.access_time = static_cast<int64_t>(load_le<uint64_t>(v, 40));
  inode.internal_flags = load_le<uint64_t>(v, 48);
  inode.nlink = load_le<uint32_t>(v, 56);
  inode.bsd_flags = load_le<uint32_t>(v, 68);
  inode.uid = load_le<uint32_t>(v, 72);
  inode.gid = load_le<uint32_t>(v, 76);
  inode.mode = load_le<uint16_t>(v, 80);
  inode.uncompressed_size = load_le<uint64_t>(v, 84);
  inode.size = data_stream_size(v).value_or(inode.uncompressed_size);
  return inode;
}

std::expected<std::string, ApfsError> decode_drec_name(std::span<const uint8_t> key) {
  if (key.size() < 12) return std::unexpected(ApfsError::invalid_btree("drec key too short for name"));
  size_t length = load_le<uint32_t>(key, 8) & 0x3FF;
  if (12 + length > key.size())
    return std::unexpected(ApfsError::invalid_btree(
        fmt::format("drec name extends beyond key: name_end={}, key_len={}", 12 + length, key.size())));
  auto name = key.subspan(12, length);
  auto end = std::find(name.begin(), name.end(), uint8_t{0});
  return utf8_lossy(std::string_view(reinterpret_cast<const char*>(name.data()), static_cast<size_t>(end - name.begin())));
}

std::expected<DirRecord, ApfsError> decode_drec(std::span<const uint8_t> key, std::span<const uint8_t> value) {
  auto name = decode_drec_name(key);
  if (!name) return std::unexpected(name.error());
  if (value.size() < 18) return std::unexpected(ApfsError::too_short("drec value", value.size()));
  return DirRecord{std::move(*name), load_le<uint64_t>(value, 0), load_le<uint16_t>(value, 16)};
}

std::expected<std::vector<uint8_t>, ApfsError> decode_xattr(std::span<const uint8_t> value) {
  if (value.size() < 4) return std::unexpected(ApfsError::too_short("xattr value", value.size()));
  if (load_le<uint16_t>(value, 0) & kXattrDataStream)
    return std::unexpected(ApfsError::unsupported("xattr is stored as a data stream, not embedded in the record"));
  size_t length = std::min<size_t>(load_le<uint16_t>(value, 2), value.size() - 4);
  auto data = value.subspan(4, length);
  return std::vector<uint8_t>(data.begin(), data.end());
}

std::expected<FileExtent, ApfsError> decode_extent(std::span<const uint8_t> key, std::span<const uint8_t> value) {
  if (key.size() < 16)
    return std::unexpected(ApfsError::corrupted(
        fmt::format("file extent key too short for a logical address: {} bytes", key.size())));
  if (value.size() < 24) return std::unexpected(ApfsError::too_short("file extent value", value.size()));
  constexpr uint64_t kLengthMask = (uint64_t{1} << 56) - 1;
  return FileExtent{load_le<uint64_t>(key, 8), load_le<uint64_t>(value, 0) & kLengthMask, load_le<uint64_t>(value, 8)};
}

std::strong_ordering compare_xattr_key(std::span<const uint8_t> key, uint64_t oid, std::string_view name) {
  if (key.size() < 8) return std::strong_ordering::less;
  uint64_t head = load_le<uint64_t>(key, 0);
  if (auto c = (head & kOidMask) <=> oid; c != 0) return c;
  if (auto c = (head >> kTypeShift) <=> uint64_t{kXattr}; c != 0) return c;
  std::span<const uint8_t> stored = key.size() > 10 ? key.subspan(10) : std::span<const uint8_t>();
  size_t wanted_size = name.size() + 1;
  size_t n = std::min(stored.size(), wanted_size);
  for (size_t i = 0; i < n; ++i) {
    uint8_t w = i < name.size() ? static_cast<uint8_t>(name[i]) : 0;
    if (auto c = stored[i] <=> w; c != 0) return c;
  }
  return stored.size() <=> wanted_size;
}

}  // namespace tev::apfs
