// Trailer, resource map and block table parsing.
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdio>

#include "tev/common/base64.h"
#include "tev/udif/image.h"

namespace tev::udif {
namespace {

void put_be(std::vector<uint8_t>& v, uint64_t x, int bytes) {
  for (int i = bytes - 1; i >= 0; --i) v.push_back(static_cast<uint8_t>(x >> (8 * i)));
}

std::vector<uint8_t> mish(uint64_t sectors, const std::vector<BlockRun>& runs, uint32_t declared_runs) {
  std::vector<uint8_t> t = {'m', 'i', 's', 'h'};
  put_be(t, 1, 4);
  put_be(t, 0, 8);
  put_be(t, sectors, 8);
  put_be(t, 0, 8);
  put_be(t, 0, 4);
  put_be(t, 0, 4);
  t.resize(200, 0);
  put_be(t, declared_runs, 4);
  for (const auto& r : runs) {
    put_be(t, r.type, 4);
    put_be(t, r.comment, 4);
    put_be(t, r.sector_number, 8);
    put_be(t, r.sector_count, 8);
    put_be(t, r.compressed_offset, 8);
    put_be(t, r.compressed_length, 8);
  }
  return t;
}

TEST(PartitionFields, IdentifiersAndAttributes) {
  const std::pair<const char*, int32_t> ids[] = {{"-1", -1}, {"+7", 7}, {"42", 42}, {"4294967295", 0},
                                                 {"2147483647", 2147483647}, {"-2147483648", INT32_MIN},
                                                 {"2147483648", 0}, {"-", 0}, {"", 0}, {"1a", 0}, {" 1", 0}};
  for (auto [text, value] : ids) EXPECT_EQ(parse_partition_id(text), value) << text;
  const std::pair<const char*, uint32_t> attrs[] = {{"0x0050", 80}, {"0X50", 0}, {"80", 80}, {"0x+50", 80},
                                                    {"+80", 80},    {"-80", 0},  {"0x", 0},  {"0xFFFFFFFF", 0xFFFFFFFF},
                                                    {"0x100000000", 0}, {"4294967296", 0}, {"0xg", 0}};
  for (auto [text, value] : attrs) EXPECT_EQ(parse_partition_attributes(text), value) << text;
}

TEST(BlockTable, ParsesRunsAndRefusesBadTables) {
  auto ok = parse_block_table(mish(8, {{run_type::kZlib, 0, 0, 8, 0, 100}, {run_type::kTerminator, 0, 8, 0, 0, 0}}, 2));
  ASSERT_TRUE(ok);
  EXPECT_EQ(ok->sector_count, 8u);
  ASSERT_EQ(ok->runs.size(), 2u);
  EXPECT_EQ(ok->runs[0].compressed_length, 100u);

  auto empty = parse_block_table(mish(0, {}, 0));
  ASSERT_TRUE(empty);
  EXPECT_TRUE(empty->runs.empty());

  auto blob = mish(0, {}, 0);
  blob.pop_back();
  EXPECT_EQ(parse_block_table(blob).error().message(), "invalid block map: mish data too short");
  blob = mish(0, {}, 0);
  blob[0] = 0;
  blob[1] = blob[2] = blob[3] = 0;
  EXPECT_EQ(parse_block_table(blob).error().message(), "invalid block map: invalid mish magic: [0, 0, 0, 0]");
  // A count the blob cannot hold ends at the first missing run, without
  // reserving four billion runs first.
  EXPECT_EQ(parse_block_table(mish(1, {{run_type::kRaw, 0, 0, 1, 0, 1}}, 0xFFFFFFFF)).error().message(),
            "invalid block map: block table declares 4294967295 runs but holds only 1");
  auto bad_type = parse_block_table(mish(1, {{3, 0, 0, 1, 0, 0}}, 1));
  EXPECT_EQ(bad_type.error().kind(), DmgError::Kind::UnsupportedCompression);
  EXPECT_EQ(bad_type.error().message(), "unsupported compression type: 0x3");
  EXPECT_EQ(parse_block_run(std::vector<uint8_t>(39)).error().message(), "invalid block map: block run too short");
}

std::string plist_with(const std::string& entries) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict><key>resource-fork</key><dict>"
         "<key>blkx</key><array>" + entries + "</array></dict></dict></plist>";
}

std::span<const uint8_t> bytes(const std::string& s) { return {reinterpret_cast<const uint8_t*>(s.data()), s.size()}; }

TEST(ResourceMap, ReadsEntriesAndReportsWhatIsMissing) {
  std::string data = "<data>" + base64_encode(mish(4, {}, 0)) + "</data>";
  auto parts = parse_resource_map(bytes(plist_with(
      "<dict><key>Name</key><string>disk image (Apple_HFS : 1)</string><key>ID</key><string>-1</string>"
      "<key>Attributes</key><string>0x0050</string><key>Data</key>" + data + "</dict>"
      "<dict><key>Data</key>" + data + "</dict>")));
  ASSERT_TRUE(parts);
  ASSERT_EQ(parts->size(), 2u);
  EXPECT_EQ((*parts)[0].name, "disk image (Apple_HFS : 1)");
  EXPECT_EQ((*parts)[0].id, -1);
  EXPECT_EQ((*parts)[0].attributes, 80u);
  EXPECT_EQ((*parts)[1].name, "");
  EXPECT_EQ((*parts)[1].table.sector_count, 4u);
  EXPECT_TRUE(parse_resource_map(bytes(plist_with(""))).value().empty());

  const std::pair<std::string, const char*> bad[] = {
      {plist_with("<dict><key>Name</key><string>x</string></dict>"), "invalid plist: missing Data in blkx entry"},
      {plist_with("<string>x</string>"), "invalid plist: blkx entry not a dictionary"},
      {"<plist version=\"1.0\"><array/></plist>", "invalid plist: expected dictionary"},
      {"<plist version=\"1.0\"><dict/></plist>", "invalid plist: missing resource-fork"},
      {"<plist version=\"1.0\"><dict><key>resource-fork</key><dict/></dict></plist>",
       "invalid plist: missing blkx array"},
  };
  for (const auto& [text, message] : bad) EXPECT_EQ(parse_resource_map(bytes(text)).error().message(), message);
  auto garbage = parse_resource_map(bytes("not a plist at all"));
  ASSERT_FALSE(garbage);
  EXPECT_TRUE(garbage.error().message().starts_with("invalid plist: plist parse error: "));
}

std::vector<uint8_t> image_bytes(const std::vector<uint8_t>& fork, const std::string& xml, uint32_t data_crc_type,
                                 uint32_t data_crc) {
  std::vector<uint8_t> f = fork;
  f.insert(f.end(), xml.begin(), xml.end());
  std::vector<uint8_t> t = {'k', 'o', 'l', 'y'};
  put_be(t, 4, 4);
  put_be(t, 512, 4);
  put_be(t, 1, 4);
  put_be(t, 0, 8);
  put_be(t, 0, 8);
  put_be(t, fork.size(), 8);
  put_be(t, 0, 8);
  put_be(t, 0, 8);
  put_be(t, 1, 4);
  put_be(t, 1, 4);
  t.resize(80, 0);
  put_be(t, data_crc_type, 4);
  put_be(t, 32, 4);
  put_be(t, data_crc, 4);
  t.resize(216, 0);
  put_be(t, fork.size(), 8);
  put_be(t, xml.size(), 8);
  t.resize(512, 0);
  f.insert(f.end(), t.begin(), t.end());
  return f;
}

TEST(OpenDmg, ChecksTheTrailerAndTheDataChecksum) {
  std::vector<uint8_t> fork(3000, 7);
  uint32_t crc = static_cast<uint32_t>(crc32(0, fork.data(), static_cast<uInt>(fork.size())));
  std::string xml = plist_with("");
  EXPECT_TRUE(open_dmg(ByteSource::from_bytes(image_bytes(fork, xml, 2, crc))));
  // Type 2 with a zero word means no checksum.
  EXPECT_TRUE(open_dmg(ByteSource::from_bytes(image_bytes(fork, xml, 2, 0))));
  auto bad = open_dmg(ByteSource::from_bytes(image_bytes(fork, xml, 2, crc ^ 1)));
  ASSERT_FALSE(bad);
  EXPECT_EQ(bad.error().kind(), DmgError::Kind::ChecksumMismatch);
  char expected[96];
  std::snprintf(expected, sizeof expected, "checksum mismatch: expected 0x%x, got 0x%x", crc ^ 1, crc);
  EXPECT_EQ(bad.error().message(), expected);

  EXPECT_EQ(open_dmg(ByteSource::from_bytes(std::vector<uint8_t>(511))).error().kind(), DmgError::Kind::Io);
  EXPECT_EQ(open_dmg(ByteSource::from_bytes(std::vector<uint8_t>(4096))).error().message(),
            "invalid DMG magic: expected 'koly' trailer");
  // A resource map said to lie beyond the file is a short read, not a huge allocation.
  auto image = image_bytes(fork, xml, 0, 0);
  for (int i = 0; i < 8; ++i) image[image.size() - 512 + 224 + i] = 0x7F;
  EXPECT_EQ(open_dmg(ByteSource::from_bytes(image)).error().message(), "I/O error: failed to fill whole buffer");
  // So is a data fork said to be far longer than the file.
  image = image_bytes(fork, xml, 2, crc);
  for (int i = 0; i < 8; ++i) image[image.size() - 512 + 32 + i] = 0x7F;
  EXPECT_EQ(open_dmg(ByteSource::from_bytes(image)).error().message(), "I/O error: failed to fill whole buffer");
}

}  // namespace
}  // namespace tev::udif
