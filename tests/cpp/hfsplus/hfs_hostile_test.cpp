// Damaged copies of a real volume: every query ends in a value or an error,
// never in a crash, a hang or a huge allocation (run under the sanitizers too).
#include <gtest/gtest.h>
#include <lzma.h>

#include <algorithm>
#include <random>

#include "fixtures.h"
#include "tev/hfsplus/hfs_reader.h"
#include "volume_header.h"

namespace tev::hfsplus {
namespace {

std::vector<uint8_t> unxz(const std::vector<uint8_t>& packed) {
  std::vector<uint8_t> out(64 << 20);
  size_t in_pos = 0, out_pos = 0;
  uint64_t limit = UINT64_MAX;
  if (lzma_stream_buffer_decode(&limit, 0, nullptr, packed.data(), &in_pos, packed.size(), out.data(), &out_pos,
                                out.size()) != LZMA_OK)
    return {};
  out.resize(out_pos);
  return out;
}

void exercise(const std::vector<uint8_t>& image) {
  auto reader = open_volume(ByteSource::from_bytes(image));
  if (!reader) return;
  auto entries = reader->walk();
  if (!entries) return;
  size_t n = 0;
  for (const auto& e : *entries) {
    if (++n > 150) break;
    (void)reader->stat(e.path);
    (void)reader->exists(e.path);
    if (e.kind != fs::EntryKind::Directory) (void)reader->read_file(e.path);
    else (void)reader->list_directory(e.path);
  }
}

TEST(HfsHostile, FlippedMetadataBytes) {
  auto path = testing::fixtures_dir() / "generated/hfs_dmg/hfs/hfsplus_many.img.xz";
  if (!std::filesystem::exists(path)) GTEST_SKIP() << "no shared fixtures";
  auto image = unxz(testing::read_file(path));
  ASSERT_FALSE(image.empty());
  auto volume = open_volume(ByteSource::from_bytes(image));
  ASSERT_TRUE(volume);
  ASSERT_GE(volume->walk()->size(), 3000u);
  auto header = read_volume_header(ByteSource::from_bytes(image));
  ASSERT_TRUE(header);
  uint32_t bs = header->block_size;
  uint64_t catalog = uint64_t{header->catalog_file.extents[0].start_block} * bs;
  uint64_t catalog_size = header->catalog_file.logical_size;
  uint64_t extents = uint64_t{header->extents_file.extents[0].start_block} * bs;
  std::mt19937 rng(42);
  for (int trial = 0; trial < 200; ++trial) {
    auto damaged = image;
    uint64_t base = trial % 4 == 0 ? 1024 : trial % 4 == 1 ? extents : catalog;
    uint64_t span = trial % 4 == 0 ? 512 : trial % 4 == 1 ? 4096 : catalog_size;
    for (int i = 0; i < 1 + trial % 9; ++i) damaged[base + rng() % span] = static_cast<uint8_t>(rng());
    exercise(damaged);
  }
  for (size_t cut : {size_t{1000}, size_t{1600}, static_cast<size_t>(catalog + 600), image.size() / 3})
    exercise(std::vector<uint8_t>(image.begin(), image.begin() + static_cast<long>(cut)));
}

// Streaming a file into a sink (as extraction to disk will) gives the bytes
// reading it into memory gives.
TEST(HfsStreaming, SinkAndMemoryAgree) {
  auto path = testing::fixtures_dir() / "generated/hfs_dmg/hfs/hfsplus_frag_simple.img.xz";
  if (!std::filesystem::exists(path)) GTEST_SKIP() << "no shared fixtures";
  auto volume = open_volume(ByteSource::from_bytes(unxz(testing::read_file(path))));
  ASSERT_TRUE(volume);
  size_t files = 0;
  auto entries = volume->walk();
  ASSERT_TRUE(entries);
  for (const auto& e : *entries) {
    if (e.kind == fs::EntryKind::Directory) continue;
    auto in_memory = volume->read_file(e.path);
    ASSERT_TRUE(in_memory) << e.path;
    auto plan = volume->plan_file(e.path);
    ASSERT_TRUE(plan);
    std::vector<uint8_t> streamed;
    VectorSink sink(streamed);
    auto produced = volume->read_planned(*plan, sink);
    ASSERT_TRUE(produced);
    EXPECT_EQ(*produced, in_memory->size());
    EXPECT_TRUE(std::equal(streamed.begin(), streamed.end(), in_memory->begin(), in_memory->end())) << e.path;
    ++files;
  }
  EXPECT_GT(files, 100u);
}

}  // namespace
}  // namespace tev::hfsplus
