#include "btree.h"

#include <algorithm>
#include <bit>

#include "tev/common/byte_cursor.h"
#include "tev/common/tree_depth.h"

namespace tev::hfsplus {
namespace {

constexpr size_t kDescriptorSize = 14;
constexpr size_t kHeaderNodeReadSize = 512;

std::string kind_text(int8_t kind) { return std::to_string(static_cast<uint8_t>(kind)); }

}  // namespace

std::expected<uint64_t, HfsError> fork_offset_to_device(std::span<const ExtentDescriptor> extents,
                                                        uint32_t block_size, uint64_t offset) {
  uint64_t rest = offset;
  for (const auto& e : extents) {
    if (e.block_count == 0) break;
    uint64_t length = uint64_t{block_size} * e.block_count;
    if (rest < length) return uint64_t{e.start_block} * block_size + rest;
    rest -= length;
  }
  return std::unexpected(HfsError::invalid_btree("fork offset " + std::to_string(offset) + " exceeds extent capacity"));
}

std::expected<uint64_t, HfsError> fork_offset_to_device(const ForkData& fork, uint32_t block_size,
                                                        uint64_t offset) {
  return fork_offset_to_device(std::span<const ExtentDescriptor>(fork.extents), block_size, offset);
}

namespace {

// Reads bytes of a B-tree file that may lie in more than one extent: a node
// larger than an allocation block can begin in one extent and end in the
// next when the file is fragmented.
std::expected<void, HfsError> read_fork_bytes(const ByteSource& source, std::span<const ExtentDescriptor> extents,
                                              uint32_t block_size, uint64_t offset, std::span<uint8_t> out) {
  uint64_t extent_start = 0;  // fork offset of the current extent
  size_t done = 0;
  for (const auto& e : extents) {
    if (e.block_count == 0) break;
    uint64_t length = uint64_t{block_size} * e.block_count;
    uint64_t at = offset + done;
    if (at < extent_start + length) {
      uint64_t inside = at - extent_start;
      size_t piece = static_cast<size_t>(std::min<uint64_t>(length - inside, out.size() - done));
      uint64_t device = uint64_t{e.start_block} * block_size + inside;
      if (auto r = source.read_exact_at(device, out.subspan(done, piece)); !r) return std::unexpected(r.error());
      done += piece;
      if (done == out.size()) return {};
    }
    extent_start += length;
  }
  return std::unexpected(
      HfsError::invalid_btree("fork offset " + std::to_string(offset + done) + " exceeds extent capacity"));
}

}  // namespace

std::expected<BTreeInfo, HfsError> read_header_node(const ByteSource& source, const ForkData& fork,
                                                    uint32_t block_size) {
  auto device = fork_offset_to_device(fork, block_size, 0);
  if (!device) return std::unexpected(device.error());
  std::array<uint8_t, kHeaderNodeReadSize> raw{};
  if (auto r = source.read_exact_at(*device, raw); !r) return std::unexpected(r.error());
  StructView<kHeaderNodeReadSize> b{std::span<const uint8_t, kHeaderNodeReadSize>(raw)};
  auto kind = static_cast<int8_t>(b.be<uint8_t, 8>());
  if (kind != static_cast<int8_t>(NodeKind::Header))
    return std::unexpected(HfsError::invalid_btree("expected header node, got kind " + kind_text(kind)));
  BTreeInfo info;
  info.fork = fork;
  info.extents.assign(fork.extents.begin(), fork.extents.end());
  info.block_size = block_size;
  info.tree_depth = b.be<uint16_t, 14>();
  info.root_node = b.be<uint32_t, 16>();
  info.leaf_records = b.be<uint32_t, 20>();
  info.first_leaf_node = b.be<uint32_t, 24>();
  info.last_leaf_node = b.be<uint32_t, 28>();
  info.node_size = b.be<uint16_t, 32>();
  info.max_key_length = b.be<uint16_t, 34>();
  info.total_nodes = b.be<uint32_t, 36>();
  info.free_nodes = b.be<uint32_t, 40>();
  info.key_compare_type = b.be<uint8_t, 51>();
  // Every node read is node_size bytes; only the sizes HFS+ defines are
  // accepted, so a damaged header cannot ask for a tiny or a huge read.
  if (info.node_size < kMinNodeSize || info.node_size > kMaxNodeSize || !std::has_single_bit(info.node_size))
    return std::unexpected(HfsError::invalid_btree("invalid node size " + std::to_string(info.node_size)));
  return info;
}

std::expected<BTreeNode, HfsError> read_node(const ByteSource& source, const BTreeInfo& tree,
                                             uint32_t node_number) {
  uint64_t offset = uint64_t{node_number} * tree.node_size;
  if (auto device = fork_offset_to_device(tree.extents, tree.block_size, offset); !device)
    return std::unexpected(device.error());
  if (tree.node_size < kDescriptorSize)
    return std::unexpected(HfsError::invalid_btree("invalid node size " + std::to_string(tree.node_size)));
  BTreeNode node;
  node.number = node_number;
  node.bytes.resize(tree.node_size);
  if (auto r = read_fork_bytes(source, tree.extents, tree.block_size, offset, node.bytes); !r)
    return std::unexpected(r.error());
  auto d = StructView<kDescriptorSize>::of(node.bytes);
  if (!d) return std::unexpected(HfsError::invalid_btree("invalid node size " + std::to_string(tree.node_size)));
  node.descriptor.forward_link = d->be<uint32_t, 0>();
  node.descriptor.backward_link = d->be<uint32_t, 4>();
  node.descriptor.kind = static_cast<int8_t>(d->be<uint8_t, 8>());
  node.descriptor.height = d->be<uint8_t, 9>();
  node.descriptor.num_records = d->be<uint16_t, 10>();
  // The record offsets run backwards from the end of the node.
  size_t count = size_t{node.descriptor.num_records} + 1;
  if (node.bytes.size() < 2 * count) return std::unexpected(HfsError::corrupted("offset table out of bounds"));
  ByteCursor table(node.bytes, node.bytes.size() - 2 * count);
  node.offsets.resize(count);
  for (size_t i = count; i-- > 0;) node.offsets[i] = *table.u16be();
  return node;
}

std::expected<std::span<const uint8_t>, HfsError> node_record(const BTreeNode& node, size_t index) {
  size_t count = node.descriptor.num_records;
  if (index >= count)
    return std::unexpected(HfsError::invalid_btree("record index " + std::to_string(index) +
                                                   " >= num_records " + std::to_string(count)));
  if (index >= node.offsets.size())
    return std::unexpected(HfsError::invalid_btree("record offset index " + std::to_string(index) + " out of bounds"));
  if (index + 1 >= node.offsets.size())
    return std::unexpected(HfsError::invalid_btree("record offset index " + std::to_string(index + 1) + " out of bounds"));
  size_t start = node.offsets[index];
  size_t end = node.offsets[index + 1];
  if (start > end || end > node.bytes.size())
    return std::unexpected(HfsError::invalid_btree("invalid record offsets: start=" + std::to_string(start) +
                                                   ", end=" + std::to_string(end) +
                                                   ", len=" + std::to_string(node.bytes.size())));
  return std::span<const uint8_t>(node.bytes).subspan(start, end - start);
}

std::expected<uint32_t, HfsError> index_child(std::span<const uint8_t> record) {
  auto key_length = read_be<uint16_t>(record, 0);
  if (!key_length) return std::unexpected(HfsError::invalid_btree("index record too short"));
  auto child = read_be<uint32_t>(record, 2 + size_t{*key_length});
  if (!child)
    return std::unexpected(HfsError::invalid_btree("index record too short for child pointer: key_len=" +
                                                   std::to_string(*key_length) +
                                                   ", record_len=" + std::to_string(record.size())));
  return *child;
}

std::expected<BTree::NodeRef, HfsError> BTree::node(uint32_t number) const {
  {
    std::lock_guard guard(lock_);
    if (auto it = cache_.find(number); it != cache_.end()) return it->second;
  }
  auto read = read_node(*source_, info_, number);
  if (!read) return std::unexpected(read.error());
  auto ref = std::make_shared<const BTreeNode>(std::move(*read));
  std::lock_guard guard(lock_);
  if (cached_bytes_ + ref->bytes.size() > kCacheBytes) {
    cache_.clear();
    cached_bytes_ = 0;
  }
  if (cache_.emplace(number, ref).second) cached_bytes_ += ref->bytes.size();
  return ref;
}

std::expected<std::span<const uint8_t>, HfsError> SearchHit::bytes() const { return node_record(*node, record); }

namespace {

std::string too_deep() { return too_deep_text(); }

// In an index node, the child to descend into: that of the last record whose
// key is not greater than the one sought. Nothing when the first record is
// already greater.
std::expected<std::optional<uint32_t>, HfsError> child_for(const BTreeNode& node, const KeyCompare& compare) {
  std::optional<std::span<const uint8_t>> chosen;
  for (size_t i = 0; i < node.descriptor.num_records; ++i) {
    auto record = node_record(node, i);
    if (!record) return std::unexpected(record.error());
    if (compare(*record) > 0) break;
    chosen = *record;
  }
  if (!chosen) return std::nullopt;
  auto child = index_child(*chosen);
  if (!child) return std::unexpected(child.error());
  return *child;
}

}  // namespace

std::expected<std::optional<SearchHit>, HfsError> btree_search(const BTree& tree, const KeyCompare& compare) {
  uint32_t current = tree.info().root_node;
  if (current == 0) return std::nullopt;
  for (unsigned level = 0; level <= kMaxTreeDepth; ++level) {
    auto node = tree.node(current);
    if (!node) return std::unexpected(node.error());
    const BTreeNode& n = **node;
    if (n.is_index()) {
      auto child = child_for(n, compare);
      if (!child) return std::unexpected(child.error());
      if (!*child) return std::nullopt;
      current = **child;
      continue;
    }
    if (!n.is_leaf())
      return std::unexpected(HfsError::invalid_btree("unexpected node kind " + kind_text(n.descriptor.kind) +
                                                     " during search"));
    for (size_t i = 0; i < n.descriptor.num_records; ++i) {
      auto record = node_record(n, i);
      if (!record) return std::unexpected(record.error());
      auto order = compare(*record);
      if (order < 0) continue;
      if (order == 0) return SearchHit{*node, i};
      return std::nullopt;
    }
    return std::nullopt;
  }
  return std::unexpected(HfsError::invalid_btree(too_deep()));
}

std::expected<BTree::NodeRef, HfsError> find_leaf(const BTree& tree, const KeyCompare& compare) {
  uint32_t current = tree.info().root_node;
  if (current == 0) return BTree::NodeRef{};
  for (unsigned level = 0; level <= kMaxTreeDepth; ++level) {
    auto node = tree.node(current);
    if (!node) return std::unexpected(node.error());
    const BTreeNode& n = **node;
    if (n.is_leaf()) return *node;
    if (!n.is_index())
      return std::unexpected(HfsError::invalid_btree("unexpected node kind " + kind_text(n.descriptor.kind) +
                                                     " during leaf search"));
    if (n.descriptor.num_records == 0) return BTree::NodeRef{};
    auto child = child_for(n, compare);
    if (!child) return std::unexpected(child.error());
    if (*child) {
      current = **child;
      continue;
    }
    auto first = node_record(n, 0);
    if (!first) return std::unexpected(first.error());
    auto child0 = index_child(*first);
    if (!child0) return std::unexpected(child0.error());
    current = *child0;
  }
  return std::unexpected(HfsError::invalid_btree(too_deep()));
}

std::expected<BTree::NodeRef, HfsError> LeafChain::next(const BTreeNode& leaf) {
  uint32_t link = leaf.descriptor.forward_link;
  if (link == 0) return BTree::NodeRef{};
  visited_.insert(leaf.number);
  if (!visited_.insert(link).second)
    return std::unexpected(HfsError::invalid_btree("leaf chain links back to node " + std::to_string(link)));
  auto node = tree_->node(link);
  if (!node) return std::unexpected(node.error());
  if (!(*node)->is_leaf()) return BTree::NodeRef{};
  return *node;
}

}  // namespace tev::hfsplus
