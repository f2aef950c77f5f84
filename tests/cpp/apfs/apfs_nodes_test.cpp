#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "btree.h"
#include "records.h"
#include "superblock.h"
#include "tev/common/byte_cursor.h"

namespace tev::apfs {
namespace {

void put16(std::vector<uint8_t>& b, size_t at, uint16_t v) { std::memcpy(&b[at], &v, 2); }
void put32(std::vector<uint8_t>& b, size_t at, uint32_t v) { std::memcpy(&b[at], &v, 4); }
void put64(std::vector<uint8_t>& b, size_t at, uint64_t v) { std::memcpy(&b[at], &v, 8); }

// A 4096-byte node with one variable-size entry: key at key offset 0, value
// `value_offset` bytes before the value area's end.
std::vector<uint8_t> one_entry_node(uint16_t flags, uint16_t key_len, uint16_t value_offset, uint16_t value_len) {
  std::vector<uint8_t> b(4096, 0);
  put16(b, 32, flags);
  put32(b, 36, 1);
  put16(b, 40, 0);
  put16(b, 42, 8);  // table length: one 8-byte entry
  put16(b, 56, 0);
  put16(b, 58, key_len);
  put16(b, 60, value_offset);
  put16(b, 62, value_len);
  return b;
}

TEST(ApfsChecksum, Fletcher64) {
  std::vector<uint8_t> block(4096, 0);
  for (size_t i = 8; i < block.size(); ++i) block[i] = static_cast<uint8_t>(i * 7);
  put64(block, 0, fletcher64(block));
  EXPECT_TRUE(fletcher64_valid(block));
  block[100] ^= 1;
  EXPECT_FALSE(fletcher64_valid(block));
  EXPECT_FALSE(fletcher64_valid(std::vector<uint8_t>(7)));
}

TEST(ApfsNodes, HeaderLengths) {
  EXPECT_EQ(decode_node(std::vector<uint8_t>(20)).error().message(), "corrupted data: object header too short: 20 bytes");
  EXPECT_EQ(decode_node(std::vector<uint8_t>(40)).error().message(), "invalid B-tree: btree node header too short");
  EXPECT_EQ(decode_node(std::vector<uint8_t>(58)).error().message(), "corrupted data: btree node too short: 58 bytes");
  auto many = one_entry_node(kNodeLeaf, 8, 8, 8);
  put32(many, 36, 1000);  // a table of 8000 bytes in a 4096-byte block
  EXPECT_EQ(decode_node(many).error().message(),
            "invalid B-tree: table of contents of 1000 entries runs past the node's end");
  auto past = one_entry_node(kNodeLeaf, 8, 8, 8);
  put16(past, 40, 5000);
  EXPECT_EQ(decode_node(past).error().kind(), ApfsError::Kind::InvalidBTree);
}

TEST(ApfsNodes, ValuesEndBeforeTheTreeInfoOfARoot) {
  auto leaf = one_entry_node(kNodeLeaf, 8, 16, 16);
  put64(leaf, 4096 - 16, 0x1111);
  auto n = decode_node(leaf);
  ASSERT_TRUE(n);
  EXPECT_EQ(*read_le<uint64_t>(*entry_value(*n, 0, {}), 0), 0x1111u);
  auto root = one_entry_node(kNodeLeaf | kNodeRoot, 8, 16, 16);
  put64(root, 4096 - 40 - 16, 0x2222);
  auto r = decode_node(root);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->value_area_end, 4096u - 40);
  EXPECT_EQ(*read_le<uint64_t>(*entry_value(*r, 0, {}), 0), 0x2222u);
  // The fixed sizes of a root that declares none are 16 and 16.
  EXPECT_EQ(r->fixed_sizes().key, 16u);
  EXPECT_EQ(r->fixed_sizes().value, 16u);
}

TEST(ApfsNodes, IndexEntriesHoldEightByteChildren) {
  auto index = one_entry_node(0, 8, 8, 100);  // a variable-size index: the stored length is ignored
  put64(index, 4096 - 8, 77);
  auto n = decode_node(index);
  ASSERT_TRUE(n);
  EXPECT_EQ(entry_value(*n, 0, {})->size(), 8u);
  EXPECT_EQ(*child_oid(*n, 0, {}), 77u);
}

TEST(ApfsNodes, OutOfBoundsKeysAndValues) {
  auto n = decode_node(one_entry_node(kNodeLeaf, 5000, 8, 8));
  ASSERT_TRUE(n);
  EXPECT_EQ(entry_key(*n, 0, {}).error().message(),
            "invalid B-tree: key out of bounds: start=64, len=5000, block_size=4096");
  auto v = decode_node(one_entry_node(kNodeLeaf, 8, 8, 16));
  ASSERT_TRUE(v);
  EXPECT_EQ(entry_value(*v, 0, {}).error().message(),
            "invalid B-tree: value out of bounds: start=4088, len=16, val_area_end=4096, block_size=4096");
  auto before = decode_node(one_entry_node(kNodeLeaf, 8, 4090, 8));
  ASSERT_TRUE(before);
  EXPECT_EQ(entry_value(*before, 0, {}).error().kind(), ApfsError::Kind::InvalidBTree);
}

std::vector<uint8_t> key_of(uint64_t oid, uint8_t type, std::vector<uint8_t> rest = {}) {
  std::vector<uint8_t> k(8 + rest.size());
  put64(k, 0, oid | (uint64_t{type} << kTypeShift));
  std::copy(rest.begin(), rest.end(), k.begin() + 8);
  return k;
}

TEST(ApfsKeys, FsAndXattrOrder) {
  EXPECT_EQ(compare_fs_key(key_of(5, kInode), 5, kInode), std::strong_ordering::equal);
  EXPECT_EQ(compare_fs_key(key_of(5, kDirRecord), 5, kInode), std::strong_ordering::greater);
  EXPECT_EQ(compare_fs_key(key_of(4, kDirRecord), 5, kInode), std::strong_ordering::less);
  EXPECT_EQ(compare_fs_key(std::vector<uint8_t>(7), 0, 0), std::strong_ordering::less);
  auto xattr = key_of(5, kXattr, {0, 0, 'a', 'b', 0});
  EXPECT_EQ(compare_xattr_key(xattr, 5, "ab"), std::strong_ordering::equal);
  EXPECT_EQ(compare_xattr_key(xattr, 5, "abc"), std::strong_ordering::less);
  EXPECT_EQ(compare_xattr_key(xattr, 5, "a"), std::strong_ordering::greater);
  EXPECT_EQ(compare_xattr_key(key_of(5, kInode), 5, "ab"), std::strong_ordering::less);
  EXPECT_EQ(compare_xattr_key(key_of(5, kFileExtent), 5, "ab"), std::strong_ordering::greater);
}

TEST(ApfsRecords, DecodingErrors) {
  EXPECT_EQ(decode_inode(std::vector<uint8_t>(91)).error().message(), "corrupted data: inode value too short: 91 bytes");
  auto drec_key = key_of(2, kDirRecord, {4, 0, 0, 0, 'a', 'b', 'c', 0});
  EXPECT_EQ(*decode_drec_name(drec_key), "abc");
  auto long_name = key_of(2, kDirRecord, {9, 0, 0, 0, 'a'});
  EXPECT_EQ(decode_drec_name(long_name).error().message(),
            "invalid B-tree: drec name extends beyond key: name_end=21, key_len=13");
  EXPECT_EQ(decode_drec_name(std::vector<uint8_t>(11)).error().message(), "invalid B-tree: drec key too short for name");
  EXPECT_EQ(decode_drec(drec_key, std::vector<uint8_t>(17)).error().message(),
            "corrupted data: drec value too short: 17 bytes");
  std::vector<uint8_t> stream = {1, 0, 4, 0, 1, 2, 3, 4};
  EXPECT_EQ(decode_xattr(stream).error().message(),
            "unsupported: xattr is stored as a data stream, not embedded in the record");
  std::vector<uint8_t> embedded = {0, 0, 10, 0, 't', 0};
  EXPECT_EQ(*decode_xattr(embedded), (std::vector<uint8_t>{'t', 0}));
  EXPECT_EQ(decode_extent(key_of(3, kFileExtent), std::vector<uint8_t>(24)).error().message(),
            "corrupted data: file extent key too short for a logical address: 8 bytes");
  std::vector<uint8_t> value(24, 0);
  put64(value, 0, (uint64_t{0xAB} << 56) | 8192);  // flags in the top byte are ignored
  put64(value, 8, 9);
  auto e = decode_extent(key_of(3, kFileExtent, std::vector<uint8_t>(8, 0)), value);
  ASSERT_TRUE(e);
  EXPECT_EQ(e->length, 8192u);
  EXPECT_EQ(e->physical_block, 9u);
}

TEST(ApfsRecords, InodeSizeFromTheDataStream) {
  std::vector<uint8_t> v(92, 0);
  put64(v, 84, 111);  // uncompressed size
  EXPECT_EQ(decode_inode(v)->size, 111u);
  // Two extended fields: a name (type 4, 5 bytes, rounded to 8), then the data stream.
  v.resize(96 + 8 + 8 + 40, 0);
  put16(v, 92, 2);
  v[96] = 4;
  put16(v, 98, 5);
  v[100] = 8;
  put16(v, 102, 40);
  put64(v, 104 + 8, 4242);
  EXPECT_EQ(decode_inode(v)->size, 4242u);
}

TEST(ApfsErrors, Messages) {
  EXPECT_EQ(ApfsError::invalid_magic(0x4153584E).message(), "invalid magic: 0x4153584E");
  EXPECT_EQ(ApfsError::invalid_magic(1).message(), "invalid magic: 0x00000001");
  EXPECT_EQ(ApfsError::no_volume_found().message(), "no volume found in container");
  EXPECT_EQ(ApfsError::invalid_checksum().message(), "invalid checksum");
}

}  // namespace
}  // namespace tev::apfs
