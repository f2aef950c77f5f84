// File-system records: inodes, directory entries, attributes, file extents.
#include "records.h"

#include <algorithm>

#include <fmt/format.h>

#include "tev/common/byte_cursor.h"
#include "tev/common/text.h"

#include "btree.h"

namespace tev::apfs {
namespace {

constexpr size_t kInodeSize = 92;
constexpr uint8_t kFieldDataStream = 8;
constexpr uint16_t kDrecTypeDirectory = 4;
constexpr uint16_t kDrecTypeSymlink = 10;
constexpr uint16_t kXattrDataStream = 1;

// The data stream's size among the inode's extended fields, if it has one.
// The fields follow the inode's fixed part: a count and the bytes used (u16
// each), one (type u8, flags u8, size u16) entry per field, then the fields'
// data in the same order, each padded to 8 bytes.
std::optional<uint64_t> data_stream_size(std::span<const uint8_t> v) {
  ByteCursor entries(v, kInodeSize);
  auto count = entries.u16le();
  if (!count || !entries.skip(2) || *count == 0 || entries.remaining() < 4 * size_t{*count}) return std::nullopt;
  ByteCursor data(v, entries.position() + 4 * size_t{*count});
  for (size_t i = 0; i < *count; ++i) {
    uint8_t type = *entries.u8();
    (void)entries.u8();
    size_t size = *entries.u16le();
    if (type == kFieldDataStream && size >= 8) {
      auto stream_size = data.u64le();  // the data stream's first field is its size
      return stream_size ? std::optional<uint64_t>(*stream_size) : std::nullopt;
    }
    if (!data.skip((size + 7) / 8 * 8)) return std::nullopt;
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
  auto f = StructView<kInodeSize>::of(v);
  if (!f) return std::unexpected(ApfsError::too_short("inode value", v.size()));
  InodeValue inode;
  inode.parent_id = f->le<uint64_t, 0>();
  inode.private_id = f->le<uint64_t, 8>();
  inode.create_time = static_cast<int64_t>(f->le<uint64_t, 16>());
  inode.modify_time = static_cast<int64_t>(f->le<uint64_t, 24>());
  inode.change_time = static_cast<int64_t>(f->le<uint64_t, 32>());
  inode.access_time = static_cast<int64_t>(f->le<uint64_t, 40>());
  inode.internal_flags = f->le<uint64_t, 48>();
  inode.nlink = f->le<uint32_t, 56>();
  inode.bsd_flags = f->le<uint32_t, 68>();
  inode.uid = f->le<uint32_t, 72>();
  inode.gid = f->le<uint32_t, 76>();
  inode.mode = f->le<uint16_t, 80>();
  inode.uncompressed_size = f->le<uint64_t, 84>();
  inode.size = data_stream_size(v).value_or(inode.uncompressed_size);
  return inode;
}

std::expected<std::string, ApfsError> decode_drec_name(std::span<const uint8_t> key) {
  auto length_field = read_le<uint32_t>(key, 8);
  if (!length_field) return std::unexpected(ApfsError::invalid_btree("drec key too short for name"));
  size_t length = *length_field & 0x3FF;
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
  auto v = StructView<18>::of(value);
  if (!v) return std::unexpected(ApfsError::too_short("drec value", value.size()));
  return DirRecord{std::move(*name), v->le<uint64_t, 0>(), v->le<uint16_t, 16>()};
}

std::expected<std::vector<uint8_t>, ApfsError> decode_xattr(std::span<const uint8_t> value) {
  auto v = StructView<4>::of(value);
  if (!v) return std::unexpected(ApfsError::too_short("xattr value", value.size()));
  if (v->le<uint16_t, 0>() & kXattrDataStream)
    return std::unexpected(ApfsError::unsupported("xattr is stored as a data stream, not embedded in the record"));
  size_t length = std::min<size_t>(v->le<uint16_t, 2>(), value.size() - 4);
  auto data = value.subspan(4, length);
  return std::vector<uint8_t>(data.begin(), data.end());
}

std::expected<FileExtent, ApfsError> decode_extent(std::span<const uint8_t> key, std::span<const uint8_t> value) {
  auto k = StructView<16>::of(key);
  if (!k)
    return std::unexpected(ApfsError::corrupted(
        fmt::format("file extent key too short for a logical address: {} bytes", key.size())));
  auto v = StructView<24>::of(value);
  if (!v) return std::unexpected(ApfsError::too_short("file extent value", value.size()));
  constexpr uint64_t kLengthMask = (uint64_t{1} << 56) - 1;
  return FileExtent{k->le<uint64_t, 8>(), v->le<uint64_t, 0>() & kLengthMask, v->le<uint64_t, 8>()};
}

std::strong_ordering compare_xattr_key(std::span<const uint8_t> key, uint64_t oid, std::string_view name) {
  auto head = read_le<uint64_t>(key, 0);
  if (!head) return std::strong_ordering::less;
  if (auto c = (*head & kOidMask) <=> oid; c != 0) return c;
  if (auto c = (*head >> kTypeShift) <=> uint64_t{kXattr}; c != 0) return c;
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
