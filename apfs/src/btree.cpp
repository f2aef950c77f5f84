// B-tree node blocks: header, table of contents, keys and values.
#include "btree.h"

#include <fmt/format.h>

#include "tev/common/byte_cursor.h"
#include "tev/common/checked.h"

namespace tev::apfs {
namespace {

constexpr size_t kNodeHeaderEnd = 56;

}  // namespace

FixedSizes DecodedNode::fixed_sizes() const {
  if (!info || info->key_size == 0 || info->value_size == 0) return {};
  return {info->key_size, info->value_size};
}

std::expected<DecodedNode, ApfsError> decode_node(std::vector<uint8_t> block) {
  std::span<const uint8_t> b(block);
  size_t length = b.size();
  if (length < 32) return std::unexpected(ApfsError::too_short("object header", length));
  if (length < kNodeHeaderEnd) return std::unexpected(ApfsError::invalid_btree("btree node header too short"));
  auto h = StructView<60>::of(b);
  if (!h) return std::unexpected(ApfsError::too_short("btree node", length));
  DecodedNode node;
  node.flags = h->le<uint16_t, 32>();
  node.level = h->le<uint16_t, 34>();
  node.key_count = h->le<uint32_t, 36>();
  node.table_offset = h->le<uint16_t, 40>();
  node.table_length = h->le<uint16_t, 42>();
  node.value_area_end = length;
  if (node.is_root()) {
    // A root node keeps the tree's sizes and counts in its last bytes.
    auto t = length < kNodeHeaderEnd + kTreeInfoSize ? std::unexpected(OutOfBounds{})
                                                     : StructView<kTreeInfoSize>::of(b, length - kTreeInfoSize);
    if (!t) return std::unexpected(ApfsError::too_short("btree root node", length));
    size_t at = length - kTreeInfoSize;
    node.info = TreeInfo{t->le<uint32_t, 0>(),  t->le<uint32_t, 4>(),  t->le<uint32_t, 8>(),
                         t->le<uint32_t, 12>(), t->le<uint32_t, 16>(), t->le<uint32_t, 20>(),
                         t->le<uint64_t, 24>(), t->le<uint64_t, 32>()};
    node.value_area_end = at;
  }
  size_t toc = kNodeHeaderEnd + node.table_offset;
  if (toc > length) return std::unexpected(ApfsError::invalid_btree("table of contents starts past the node's end"));
  node.key_area_start = toc + node.table_length;
  size_t entry_size = node.is_fixed() ? 4 : 8;
  // Checked before anything is reserved: the count comes from the block.
  if (uint64_t{node.key_count} * entry_size > length - toc)
    return std::unexpected(ApfsError::invalid_btree(
        fmt::format("table of contents of {} entries runs past the node's end", node.key_count)));
  node.entries.resize(node.key_count);
  ByteCursor table(b, toc);
  for (TocEntry& e : node.entries) {
    // The count was checked against the bytes left, so every read succeeds.
    e.key_offset = *table.u16le();
    if (!node.is_fixed()) e.key_length = *table.u16le();
    e.value_offset = *table.u16le();
    if (!node.is_fixed()) e.value_length = *table.u16le();
  }
  node.bytes = std::move(block);
  return node;
}

std::expected<std::span<const uint8_t>, ApfsError> entry_key(const DecodedNode& node, size_t i, FixedSizes fixed) {
  const TocEntry& e = node.entries[i];
  size_t start = node.key_area_start + e.key_offset;
  size_t length = node.is_fixed() ? fixed.key : e.key_length;
  if (!range_fits(start, length, node.bytes.size()))
    return std::unexpected(ApfsError::invalid_btree(
        fmt::format("key out of bounds: start={}, len={}, block_size={}", start, length, node.bytes.size())));
  return std::span<const uint8_t>(node.bytes).subspan(start, length);
}

std::expected<std::span<const uint8_t>, ApfsError> entry_value(const DecodedNode& node, size_t i, FixedSizes fixed) {
  const TocEntry& e = node.entries[i];
  size_t length = !node.is_leaf() ? 8 : node.is_fixed() ? fixed.value : e.value_length;
  auto bad = [&](int64_t start) {
    return std::unexpected(ApfsError::invalid_btree(
        fmt::format("value out of bounds: start={}, len={}, val_area_end={}, block_size={}", start, length,
                    node.value_area_end, node.bytes.size())));
  };
  if (e.value_offset > node.value_area_end)
    return bad(static_cast<int64_t>(node.value_area_end) - static_cast<int64_t>(e.value_offset));
  size_t start = node.value_area_end - e.value_offset;
  if (!range_fits(start, length, node.bytes.size()) || start < node.key_area_start)
    return bad(static_cast<int64_t>(start));
  return std::span<const uint8_t>(node.bytes).subspan(start, length);
}

std::expected<uint64_t, ApfsError> child_oid(const DecodedNode& node, size_t i, FixedSizes fixed) {
  auto value = entry_value(node, i, fixed);
  if (!value) return std::unexpected(value.error());
  auto oid = read_le<uint64_t>(*value, 0);
  if (!oid) return std::unexpected(ApfsError::invalid_btree("child oid too short"));
  return *oid;
}

std::strong_ordering compare_fs_key(std::span<const uint8_t> key, uint64_t oid, uint8_t type) {
  auto head = read_le<uint64_t>(key, 0);
  if (!head) return std::strong_ordering::less;
  if (auto c = (*head & kOidMask) <=> oid; c != 0) return c;
  return (*head >> kTypeShift) <=> uint64_t{type};
}

}  // namespace tev::apfs
