// Object headers, the checksum, and the container and volume superblocks.
#include "tev/apfs/superblock.h"

#include <algorithm>

#include "tev/common/byte_cursor.h"
#include "tev/common/text.h"

namespace tev::apfs {
namespace {

constexpr size_t kObjectHeaderSize = 32;
constexpr size_t kContainerFixedSize = 184;
constexpr size_t kMaxVolumeOids = 100;
constexpr size_t kVolumeSuperblockSize = 960;
constexpr size_t kVolumeNameOffset = 704;
constexpr size_t kVolumeNameSize = 256;

std::unexpected<ApfsError> short_read() { return std::unexpected(ApfsError(IoError::unexpected_eof())); }

// Header and magic, in the order the checks are made.
std::expected<ObjectHeader, ApfsError> header_with_magic(std::span<const uint8_t> b, uint32_t magic) {
  auto header = decode_object_header(b);
  if (!header) return std::unexpected(header.error());
  if (b.size() < 36) return short_read();
  uint32_t found = load_le<uint32_t>(b, 32);
  if (found != magic) return std::unexpected(ApfsError::invalid_magic(found));
  return header;
}

}  // namespace

uint64_t fletcher64(std::span<const uint8_t> block) {
  constexpr uint64_t kMod = 0xFFFFFFFF;
  uint64_t sum1 = 0;
  uint64_t sum2 = 0;
  // Reduce every 1024 words: the sums cannot overflow 64 bits before that.
  size_t words = block.size() < 8 ? 0 : (block.size() - 8) / 4;
  for (size_t i = 0; i < words;) {
    size_t end = std::min(words, i + 1024);
    for (; i < end; ++i) {
      sum1 += load_le<uint32_t>(block, 8 + 4 * i);
      sum2 += sum1;
    }
    sum1 %= kMod;
    sum2 %= kMod;
  }
  uint64_t low = kMod - ((sum1 + sum2) % kMod);
  uint64_t high = kMod - ((sum1 + low) % kMod);
  return (high << 32) | low;
}

bool fletcher64_valid(std::span<const uint8_t> block) {
  if (block.size() < 8) return false;
  return load_le<uint64_t>(block, 0) == fletcher64(block);
}

std::expected<ObjectHeader, ApfsError> decode_object_header(std::span<const uint8_t> b) {
  if (b.size() < kObjectHeaderSize) return std::unexpected(ApfsError::too_short("object header", b.size()));
  return ObjectHeader{load_le<uint64_t>(b, 0), load_le<uint64_t>(b, 8), load_le<uint64_t>(b, 16),
                      load_le<uint32_t>(b, 24), load_le<uint32_t>(b, 28)};
}

std::expected<ContainerSuperblock, ApfsError> decode_container_superblock(std::span<const uint8_t> b) {
  auto header = header_with_magic(b, kContainerMagic);
  if (!header) return std::unexpected(header.error());
  if (b.size() < kContainerFixedSize) return short_read();
  ContainerSuperblock sb;
  sb.header = *header;
  sb.block_size = load_le<uint32_t>(b, 36);
  sb.block_count = load_le<uint64_t>(b, 40);
  sb.checkpoint_descriptor_blocks = load_le<uint32_t>(b, 104);
  sb.checkpoint_descriptor_base = load_le<uint64_t>(b, 112);
  sb.object_map_oid = load_le<uint64_t>(b, 160);
  sb.max_file_systems = load_le<uint32_t>(b, 180);
  size_t count = std::min<size_t>(sb.max_file_systems, kMaxVolumeOids);
  if (b.size() < kContainerFixedSize + 8 * count) return short_read();
  sb.volume_oids.resize(count);
  for (size_t i = 0; i < count; ++i) sb.volume_oids[i] = load_le<uint64_t>(b, kContainerFixedSize + 8 * i);
  return sb;
}

std::expected<VolumeSuperblock, ApfsError> decode_volume_superblock(std::span<const uint8_t> b) {
  auto header = header_with_magic(b, kVolumeMagic);
  if (!header) return std::unexpected(header.error());
  if (b.size() < kVolumeSuperblockSize) return short_read();
  VolumeSuperblock sb;
  sb.header = *header;
  sb.fs_index = load_le<uint32_t>(b, 36);
  sb.object_map_oid = load_le<uint64_t>(b, 128);
  sb.root_tree_oid = load_le<uint64_t>(b, 136);
  sb.file_count = load_le<uint64_t>(b, 184);
  sb.directory_count = load_le<uint64_t>(b, 192);
  sb.symlink_count = load_le<uint64_t>(b, 200);
  auto name = b.subspan(kVolumeNameOffset, kVolumeNameSize);
  auto end = std::find(name.begin(), name.end(), uint8_t{0});
  sb.name = utf8_lossy(std::string_view(reinterpret_cast<const char*>(name.data()),
                                        static_cast<size_t>(end - name.begin())));
  return sb;
}

}  // namespace tev::apfs
