#include <gtest/gtest.h>

#include <vector>

#include "btree.h"

namespace tev::hfsplus {
namespace {

// A node of `size` bytes whose offset table holds `offsets` (record starts,
// then the start of free space).
BTreeNode node_with(std::vector<uint16_t> offsets, size_t size = 512) {
  BTreeNode node;
  node.bytes.assign(size, 0);
  node.descriptor.num_records = static_cast<uint16_t>(offsets.size() - 1);
  node.offsets = std::move(offsets);
  return node;
}

TEST(BTreeNodes, RecordChecksComeInOrder) {
  auto node = node_with({14, 20, 30, 40});
  ASSERT_TRUE(node_record(node, 2));
  EXPECT_EQ(node_record(node, 1)->size(), 10u);
  // The table has an entry at index 3 (free space), but there is no record 3.
  EXPECT_EQ(node_record(node, 3).error().message(), "invalid B-tree: record index 3 >= num_records 3");
  auto reversed = node_with({20, 10});
  EXPECT_EQ(node_record(reversed, 0).error().message(),
            "invalid B-tree: invalid record offsets: start=20, end=10, len=512");
  auto past = node_with({14, 513});
  EXPECT_EQ(node_record(past, 0).error().message(),
            "invalid B-tree: invalid record offsets: start=14, end=513, len=512");
}

TEST(BTreeNodes, IndexChildFollowsTheUnroundedKeyLength) {
  std::vector<uint8_t> record = {0, 6, 1, 2, 3, 4, 5, 6, 0, 0, 1, 2};
  EXPECT_EQ(*index_child(record), 0x102u);
  record.resize(9);
  EXPECT_EQ(index_child(record).error().message(),
            "invalid B-tree: index record too short for child pointer: key_len=6, record_len=9");
  EXPECT_EQ(index_child(std::vector<uint8_t>{0}).error().message(), "invalid B-tree: index record too short");
}

TEST(BTreeNodes, ForkOffsetsMapThroughTheExtentsInOrder) {
  ForkData fork;
  for (uint32_t i = 0; i < 8; ++i) fork.extents[i] = {100 * (i + 1), 2};
  constexpr uint32_t bs = 4096;
  EXPECT_EQ(*fork_offset_to_device(fork, bs, 0), 100u * bs);
  EXPECT_EQ(*fork_offset_to_device(fork, bs, 2 * bs + 5), 200u * bs + 5);
  uint64_t capacity = 16ull * bs;
  EXPECT_EQ(*fork_offset_to_device(fork, bs, capacity - 1), 800u * bs + 2 * bs - 1);
  EXPECT_EQ(fork_offset_to_device(fork, bs, capacity).error().message(),
            "invalid B-tree: fork offset 65536 exceeds extent capacity");
  ForkData empty;
  EXPECT_EQ(fork_offset_to_device(empty, bs, 0).error().message(),
            "invalid B-tree: fork offset 0 exceeds extent capacity");
  // Extents past the eighth (from the overflow file) extend the capacity.
  std::vector<ExtentDescriptor> longer(fork.extents.begin(), fork.extents.end());
  longer.push_back({5000, 1});
  EXPECT_EQ(*fork_offset_to_device(longer, bs, capacity), 5000u * bs);
}

TEST(BTreeNodes, OffsetTableMustFitTheNode) {
  BTreeInfo tree;
  tree.block_size = 512;
  tree.node_size = 512;
  tree.extents = {{0, 1}};
  std::vector<uint8_t> bytes(512, 0);
  bytes[8] = 0xFF;          // leaf
  bytes[10] = 0x01;         // 256 + 44 records: a table of 602 bytes
  bytes[11] = 44;
  auto source = ByteSource::from_bytes(bytes);
  EXPECT_EQ(read_node(source, tree, 0).error().message(), "corrupted data: offset table out of bounds");
  EXPECT_EQ(read_node(source, tree, 1).error().message(), "invalid B-tree: fork offset 512 exceeds extent capacity");
  tree.extents = {{1, 1}};
  EXPECT_EQ(read_node(source, tree, 0).error().message(), "I/O error: failed to fill whole buffer");
}

TEST(BTreeNodes, ANodeMaySpanTwoExtents) {
  // 1024-byte nodes on 512-byte blocks: node 0 is block 4, then block 10.
  BTreeInfo tree;
  tree.block_size = 512;
  tree.node_size = 1024;
  tree.extents = {{4, 1}, {10, 3}};
  std::vector<uint8_t> bytes(16 * 512, 0);
  bytes[4 * 512 + 8] = 0xFF;  // leaf
  bytes[4 * 512 + 11] = 1;    // one record
  // The offset table at the node's end lies in block 10: record 0 at 14, free space at 40.
  bytes[10 * 512 + 511] = 14;
  bytes[10 * 512 + 509] = 40;
  auto source = ByteSource::from_bytes(bytes);
  auto node = read_node(source, tree, 0);
  ASSERT_TRUE(node);
  EXPECT_TRUE(node->is_leaf());
  EXPECT_EQ(node->offsets, (std::vector<uint16_t>{14, 40}));
  EXPECT_EQ(node_record(*node, 0)->size(), 26u);
  // Node 2 would start past the four blocks of the fork.
  EXPECT_EQ(read_node(source, tree, 2).error().message(), "invalid B-tree: fork offset 2048 exceeds extent capacity");
}

TEST(BTreeNodes, EmptyTreeFindsNothingWithoutReading) {
  BTreeInfo tree;  // root_node 0 and no extents: any read would fail
  tree.node_size = 512;
  tree.block_size = 512;
  auto source = ByteSource::from_bytes({});
  BTree btree(source, tree);
  auto hit = btree_search(btree, [](std::span<const uint8_t>) { return std::strong_ordering::equal; });
  ASSERT_TRUE(hit);
  EXPECT_FALSE(*hit);
}

}  // namespace
}  // namespace tev::hfsplus
