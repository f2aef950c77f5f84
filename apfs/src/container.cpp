// Opening a container: superblock choice, object maps, the volume; and the
// block and node reads every query goes through.
#include <bit>
#include <mutex>
#include <unordered_map>

#include <fmt/format.h>

#include "tev/common/byte_cursor.h"

#include "caches.h"
#include "container.h"

namespace tev::apfs {
namespace {

constexpr uint32_t kDefaultBlockSize = 4096;
constexpr uint32_t kMinBlockSize = 4096;
constexpr uint32_t kMaxBlockSize = 65536;
constexpr uint32_t kNonContiguous = 0x80000000;
constexpr size_t kOmapTreeOffset = 48;

// The object map's B-tree, from the object map object.
std::expected<uint64_t, ApfsError> omap_tree(std::span<const uint8_t> omap) {
  auto tree = read_le<uint64_t>(omap, kOmapTreeOffset);
  if (!tree) return std::unexpected(ApfsError::too_short("object map", omap.size()));
  return *tree;
}

std::expected<ContainerSuperblock, ApfsError> superblock_at_zero(const ByteSource& source, uint32_t size) {
  auto block = source.read_vec_at(0, size);
  if (!block) return std::unexpected(block.error());
  if (!fletcher64_valid(*block)) return std::unexpected(ApfsError::invalid_checksum());
  return decode_container_superblock(*block);
}

// The newest valid container superblock of the checkpoint descriptor area.
std::optional<ContainerSuperblock> newest_checkpoint(const Container& reader, const ContainerSuperblock& sb) {
  std::optional<ContainerSuperblock> best;
  uint64_t bs = reader.block_size();
  uint64_t available = reader.source().size() / bs;
  uint64_t base = sb.checkpoint_descriptor_base;
  // Blocks past the end of the input cannot hold one: a huge count from a
  // damaged superblock costs nothing.
  uint64_t count = base >= available ? 0 : std::min<uint64_t>(sb.checkpoint_descriptor_blocks, available - base);
  for (uint64_t i = 0; i < count; ++i) {
    auto block = reader.read_block(base + i);
    if (!block || !fletcher64_valid(*block)) continue;
    auto header = decode_object_header(*block);
    if (!header || (header->type & 0xFFFF) != kTypeContainerSuperblock) continue;
    auto candidate = decode_container_superblock(*block);
    if (!candidate) continue;
    if (!best || candidate->header.xid > best->header.xid) best = std::move(*candidate);
  }
  return best;
}

}  // namespace

Container::Container() : caches_(std::make_unique<Caches>()) {}
Container::Container(Container&&) noexcept = default;
Container& Container::operator=(Container&&) noexcept = default;
Container::~Container() = default;

std::expected<std::vector<uint8_t>, ApfsError> Container::read_block(uint64_t paddr) const {
  if (paddr > UINT64_MAX / block_size_)
    return std::unexpected(ApfsError::corrupted(fmt::format("block {} lies beyond the device address space", paddr)));
  auto block = source_->read_vec_at(paddr * block_size_, block_size_);
  if (!block) return std::unexpected(block.error());
  return std::move(*block);
}

std::expected<Container::NodeRef, ApfsError> Container::node(uint64_t paddr) const {
  if (auto cached = caches_->nodes.find(paddr)) return *cached;
  auto block = read_block(paddr);
  if (!block) return std::unexpected(block.error());
  auto decoded = decode_node(std::move(*block));
  if (!decoded) return std::unexpected(decoded.error());
  auto ref = std::make_shared<const DecodedNode>(std::move(*decoded));
  caches_->nodes.insert(paddr, ref, ref->bytes.size());
  return ref;
}

std::expected<uint64_t, ApfsError> Container::translate(uint64_t oid) const {
  if (auto cached = caches_->translations.find(oid)) return *cached;
  auto paddr = omap_lookup(volume_omap_root_, oid, volume_.header.xid);
  if (!paddr) return std::unexpected(paddr.error());
  caches_->translations.insert(oid, *paddr, sizeof(uint64_t));
  return *paddr;
}

std::expected<std::unique_ptr<Container>, ApfsError> Container::open(ByteSource source) {
  std::unique_ptr<Container> opened(new Container());
  Container& reader = *opened;
  reader.source_ = std::make_unique<ByteSource>(std::move(source));
  auto sb = superblock_at_zero(*reader.source_, kDefaultBlockSize);
  if (!sb) return std::unexpected(sb.error());
  uint32_t bs = sb->block_size;
  if (bs < kMinBlockSize || bs > kMaxBlockSize || !std::has_single_bit(bs))
    return std::unexpected(ApfsError::corrupted(fmt::format("block size {} is not a power of two from 4096 to 65536", bs)));
  if (bs != kDefaultBlockSize) {
    sb = superblock_at_zero(*reader.source_, bs);
    if (!sb) return std::unexpected(sb.error());
  }
  reader.block_size_ = bs;
  if (sb->checkpoint_descriptor_blocks & kNonContiguous)
    return std::unexpected(ApfsError::unsupported("checkpoint descriptor area that is not contiguous"));
  if (auto newest = newest_checkpoint(reader, *sb); newest && newest->header.xid > sb->header.xid) {
    if (newest->block_size != bs)
      return std::unexpected(ApfsError::corrupted("checkpoint superblock has another block size"));
    sb = std::move(*newest);
  }

  auto omap = reader.read_block(sb->object_map_oid);
  if (!omap) return std::unexpected(omap.error());
  auto container_omap_root = omap_tree(*omap);
  if (!container_omap_root) return std::unexpected(container_omap_root.error());
  uint64_t volume_oid = 0;
  for (uint64_t oid : sb->volume_oids) {
    if (oid != 0) {
      volume_oid = oid;
      break;
    }
  }
  if (volume_oid == 0) return std::unexpected(ApfsError::no_volume_found());
  auto volume_paddr = reader.omap_lookup(*container_omap_root, volume_oid, sb->header.xid);
  if (!volume_paddr) return std::unexpected(volume_paddr.error());
  auto volume_block = reader.read_block(*volume_paddr);
  if (!volume_block) return std::unexpected(volume_block.error());
  auto volume = decode_volume_superblock(*volume_block);
  if (!volume) return std::unexpected(volume.error());
  reader.volume_ = std::move(*volume);

  auto volume_omap = reader.read_block(reader.volume_.object_map_oid);
  if (!volume_omap) return std::unexpected(volume_omap.error());
  auto volume_omap_root = omap_tree(*volume_omap);
  if (!volume_omap_root) return std::unexpected(volume_omap_root.error());
  reader.volume_omap_root_ = *volume_omap_root;
  auto root = reader.translate(reader.volume_.root_tree_oid);
  if (!root) return std::unexpected(root.error());
  reader.root_tree_ = *root;
  return opened;
}

}  // namespace tev::apfs
