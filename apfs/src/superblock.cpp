// Object headers, the checksum, and the container and volume superblocks.
#include "superblock.h"

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

// Header and magic, in the order the checks are made.
std::expected<ObjectHeader, ApfsError> header_with_magic(std::span<const uint8_t> b, uint32_t magic) {
  auto header = decode_object_header(b);
  if (!header) return std::unexpected(header.error());
  auto magic_field = read_le<uint32_t>(b, 32);
  if (!magic_field) return std::unexpected(ApfsError::too_short("object header", b.size()));
  uint32_t found = *magic_field;
  if (found != magic) return std::unexpected(ApfsError::invalid_magic(found));
  return header;
}

}  // namespace

uint64_t fletcher64(std::span<const uint8_t> block) {
  constexpr uint64_t kMod = 0xFFFFFFFF;
  uint64_t sum1 = 0;
  uint64_t sum2 = 0;
  // Reduce every 1024 words: the sums cannot overflow 64 bits before that.
  ByteCursor words(block, std::min<size_t>(8, block.size()));
  while (words.remaining() >= 4) {
    for (int i = 0; i < 1024 && words.remaining() >= 4; ++i) {
      sum1 += *words.u32le();
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
  auto stored = read_le<uint64_t>(block, 0);
  return stored && *stored == fletcher64(block);
}

std::expected<ObjectHeader, ApfsError> decode_object_header(std::span<const uint8_t> b) {
  auto v = StructView<kObjectHeaderSize>::of(b);
  if (!v) return std::unexpected(ApfsError::too_short("object header", b.size()));
  return ObjectHeader{v->le<uint64_t, 0>(), v->le<uint64_t, 8>(), v->le<uint64_t, 16>(), v->le<uint32_t, 24>(),
                      v->le<uint32_t, 28>()};
}

std::expected<ContainerSuperblock, ApfsError> decode_container_superblock(std::span<const uint8_t> b) {
  auto header = header_with_magic(b, kContainerMagic);
  if (!header) return std::unexpected(header.error());
  auto v = StructView<kContainerFixedSize>::of(b);
  if (!v) return std::unexpected(ApfsError::too_short("container superblock", b.size()));
  ContainerSuperblock sb;
  sb.header = *header;
  sb.block_size = v->le<uint32_t, 36>();
  sb.block_count = v->le<uint64_t, 40>();
  sb.checkpoint_descriptor_blocks = v->le<uint32_t, 104>();
  sb.checkpoint_descriptor_base = v->le<uint64_t, 112>();
  sb.object_map_oid = v->le<uint64_t, 160>();
  sb.max_file_systems = v->le<uint32_t, 180>();
  size_t count = std::min<size_t>(sb.max_file_systems, kMaxVolumeOids);
  ByteCursor oids(b, kContainerFixedSize);
  if (oids.remaining() < 8 * count) return std::unexpected(ApfsError::too_short("container superblock", b.size()));
  sb.volume_oids.resize(count);
  for (auto& oid : sb.volume_oids) oid = *oids.u64le();
  return sb;
}

std::expected<VolumeSuperblock, ApfsError> decode_volume_superblock(std::span<const uint8_t> b) {
  auto header = header_with_magic(b, kVolumeMagic);
  if (!header) return std::unexpected(header.error());
  auto v = StructView<kVolumeSuperblockSize>::of(b);
  if (!v) return std::unexpected(ApfsError::too_short("volume superblock", b.size()));
  VolumeSuperblock sb;
  sb.header = *header;
  sb.fs_index = v->le<uint32_t, 36>();
  sb.object_map_oid = v->le<uint64_t, 128>();
  sb.root_tree_oid = v->le<uint64_t, 136>();
  sb.file_count = v->le<uint64_t, 184>();
  sb.directory_count = v->le<uint64_t, 192>();
  sb.symlink_count = v->le<uint64_t, 200>();
  auto name = v->bytes<kVolumeNameOffset, kVolumeNameSize>();
  auto end = std::find(name.begin(), name.end(), uint8_t{0});
  sb.name = utf8_lossy(std::string_view(reinterpret_cast<const char*>(name.data()),
                                        static_cast<size_t>(end - name.begin())));
  return sb;
}

}  // namespace tev::apfs
