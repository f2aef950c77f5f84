// Data forks: the inline extents, the extents overflow file, and reading.
#include "extents.h"

#include <algorithm>

#include "tev/common/byte_cursor.h"

#include "volume.h"

namespace tev::hfsplus {
namespace {

constexpr size_t kExtentKeySize = 12;

struct ExtentSearchKey {
  uint32_t file_id;
  uint8_t fork_type;
  uint32_t start_block;
};

std::strong_ordering compare_extent_key(std::span<const uint8_t> record, const ExtentSearchKey& key) {
  auto k = StructView<kExtentKeySize>::of(record);
  if (!k) return std::strong_ordering::less;
  if (auto c = k->be<uint32_t, 4>() <=> key.file_id; c != 0) return c;
  if (auto c = k->be<uint8_t, 2>() <=> key.fork_type; c != 0) return c;
  return k->be<uint32_t, 8>() <=> key.start_block;
}

// Appends one extent's share of what is still missing.
void add_extent(std::vector<FilePiece>& runs, const ExtentDescriptor& e, uint32_t block_size, uint64_t& remaining) {
  uint64_t length = std::min(remaining, uint64_t{e.block_count} * block_size);
  add_piece(runs, {uint64_t{e.start_block} * block_size, length, false});
  remaining -= length;
}

}  // namespace

std::expected<std::optional<std::array<ExtentDescriptor, 8>>, HfsError> find_overflow_extents(
    const BTree& extents_tree, uint32_t file_id, uint32_t start_block) {
  ExtentSearchKey key{file_id, kDataFork, start_block};
  auto hit = btree_search(extents_tree, [&](std::span<const uint8_t> r) { return compare_extent_key(r, key); });
  if (!hit) return std::unexpected(hit.error());
  if (!*hit) return std::nullopt;
  auto found = (*hit)->bytes();
  if (!found) return std::unexpected(found.error());
  auto record = *found;
  auto key_length = read_be<uint16_t>(record, 0);
  auto extents = key_length ? StructView<kExtentRecordSize>::of(record, 2 + size_t{*key_length})
                            : std::unexpected(OutOfBounds{});
  if (!extents) return std::unexpected(HfsError::invalid_btree("extent record too short"));
  return decode_extent_record(*extents);
}

std::expected<std::vector<FilePiece>, HfsError> plan_fork(const Volume& reader, const ForkData& fork,
                                                          uint32_t file_id) {
  std::vector<FilePiece> runs;
  uint64_t remaining = fork.logical_size;
  uint32_t bs = reader.block_size();
  for (const auto& e : fork.extents) {
    if (e.block_count == 0 || remaining == 0) break;
    add_extent(runs, e, bs, remaining);
  }
  uint64_t next_block = 0;
  for (const auto& e : fork.extents) next_block += e.block_count;
  while (remaining > 0 && next_block <= UINT32_MAX) {
    auto record = find_overflow_extents(reader.extents(), file_id, static_cast<uint32_t>(next_block));
    if (!record) return std::unexpected(record.error());
    if (!*record) break;
    uint64_t added = 0;
    for (const auto& e : **record) {
      if (e.block_count == 0 || remaining == 0) break;
      add_extent(runs, e, bs, remaining);
      next_block += e.block_count;
      added += e.block_count;
    }
    // A record that adds no blocks would be found again and again.
    if (added == 0) break;
  }
  return runs;
}

}  // namespace tev::hfsplus
