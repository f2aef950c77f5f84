#pragma once

#include <compare>
#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "tev/common/byte_source.h"
#include "tev/hfsplus/hfs_error.h"

#include "volume_header.h"

namespace tev::hfsplus {

// Node sizes HFS+ allows: powers of two from 512 to 32768.
inline constexpr uint16_t kMinNodeSize = 512;
inline constexpr uint16_t kMaxNodeSize = 32768;

// One B-tree file: where its fork lies and the fields of its header record.
struct BTreeInfo {
  ForkData fork;
  // The fork's extents in file order: the eight inline ones, followed, for a
  // catalog that outgrew them, by those of the extents overflow file.
  std::vector<ExtentDescriptor> extents;
  uint32_t block_size = 0;
  uint16_t tree_depth = 0;
  uint32_t root_node = 0;
  uint32_t leaf_records = 0;
  uint32_t first_leaf_node = 0;
  uint32_t last_leaf_node = 0;
  uint16_t node_size = 0;
  uint16_t max_key_length = 0;
  uint32_t total_nodes = 0;
  uint32_t free_nodes = 0;
  uint8_t key_compare_type = 0;
};

enum class NodeKind : int8_t { Leaf = -1, Index = 0, Header = 1, Map = 2 };

struct NodeDescriptor {
  uint32_t forward_link = 0;
  uint32_t backward_link = 0;
  int8_t kind = 0;
  uint8_t height = 0;
  uint16_t num_records = 0;
};

struct BTreeNode {
  uint32_t number = 0;
  std::vector<uint8_t> bytes;
  NodeDescriptor descriptor;
  std::vector<uint16_t> offsets;  // num_records + 1 record starts
  bool is_leaf() const { return descriptor.kind == static_cast<int8_t>(NodeKind::Leaf); }
  bool is_index() const { return descriptor.kind == static_cast<int8_t>(NodeKind::Index); }
};

// Maps a byte offset inside a B-tree file to a byte offset on the partition.
std::expected<uint64_t, HfsError> fork_offset_to_device(std::span<const ExtentDescriptor> extents,
                                                        uint32_t block_size, uint64_t offset);
std::expected<uint64_t, HfsError> fork_offset_to_device(const ForkData& fork, uint32_t block_size,
                                                        uint64_t offset);

std::expected<BTreeInfo, HfsError> read_header_node(const ByteSource& source, const ForkData& fork,
                                                    uint32_t block_size);
std::expected<BTreeNode, HfsError> read_node(const ByteSource& source, const BTreeInfo& tree,
                                             uint32_t node_number);
std::expected<std::span<const uint8_t>, HfsError> node_record(const BTreeNode& node, size_t index);
std::expected<uint32_t, HfsError> index_child(std::span<const uint8_t> record);

// A B-tree of one volume, with the nodes it has read kept for later queries
// (a walk reads the upper levels once per folder).
class BTree {
 public:
  using NodeRef = std::shared_ptr<const BTreeNode>;
  static constexpr size_t kCacheBytes = 64u << 20;

  BTree(const ByteSource& source, BTreeInfo info) : source_(&source), info_(std::move(info)) {}
  const BTreeInfo& info() const { return info_; }
  std::expected<NodeRef, HfsError> node(uint32_t number) const;

 private:
  const ByteSource* source_;
  BTreeInfo info_;
  mutable std::mutex lock_;
  mutable std::unordered_map<uint32_t, NodeRef> cache_;
  mutable size_t cached_bytes_ = 0;
};

// Compares a record's key with the key sought.
using KeyCompare = std::function<std::strong_ordering(std::span<const uint8_t> record)>;

struct SearchHit {
  BTree::NodeRef node;
  size_t record = 0;
  std::expected<std::span<const uint8_t>, HfsError> bytes() const;
};

// Exact-key search: the leaf record whose key compares equal, or nothing.
std::expected<std::optional<SearchHit>, HfsError> btree_search(const BTree& tree, const KeyCompare& compare);

// The leaf where records not less than the sought key begin: the descent
// takes the last index record not greater than the key (the first one when
// all are greater). Nothing when the tree is empty.
std::expected<BTree::NodeRef, HfsError> find_leaf(const BTree& tree, const KeyCompare& compare);

// Follows leaf forward links, refusing a chain that comes back on itself.
class LeafChain {
 public:
  explicit LeafChain(const BTree& tree) : tree_(&tree) {}
  // The leaf after `leaf`, or nothing at the end of the chain (a link of 0 or
  // to a node that is not a leaf).
  std::expected<BTree::NodeRef, HfsError> next(const BTreeNode& leaf);

 private:
  const BTree* tree_;
  std::unordered_set<uint32_t> visited_;
};

}  // namespace tev::hfsplus
