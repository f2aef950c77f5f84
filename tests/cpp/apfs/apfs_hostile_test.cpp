// Damaged copies of a container made by macOS: every query ends in a value or
// an error, never in a crash, a hang or a huge allocation (run under the
// sanitizers too).
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <random>

#include "fixtures.h"
#include "tev/apfs/apfs_reader.h"
#include "superblock.h"
#include "tev/common/temp_file.h"

namespace tev::apfs {
namespace {

// The container is stored carved: the rest of its 134,176,768 bytes are zeros,
// which a sparse temporary file gives for nothing.
constexpr off_t kContainerSize = 134176768;

ByteSource padded(const std::vector<uint8_t>& carved, off_t size = kContainerSize) {
  auto file = TempFile::create();
  EXPECT_TRUE(file);
  EXPECT_EQ(::pwrite(file->fd(), carved.data(), carved.size(), 0), static_cast<ssize_t>(carved.size()));
  EXPECT_EQ(::ftruncate(file->fd(), size), 0);
  return *ByteSource::from_temp_file(std::move(*file));
}

void exercise(ByteSource source) {
  auto reader = open_container(std::move(source));
  if (!reader) return;
  auto entries = reader->walk();
  if (!entries) return;
  for (const auto& e : *entries) {
    (void)reader->stat(e.path);
    (void)reader->exists(e.path);
    if (e.kind != fs::EntryKind::Directory) (void)reader->read_file(e.path);
    else (void)reader->list_directory(e.path);
  }
}

TEST(ApfsHostile, FlippedBytesInEveryKindOfBlock) {
  auto path = testing::fixtures_dir() / "real/apfs/securityronin_apfs_content.bin";
  if (!std::filesystem::exists(path)) GTEST_SKIP() << "no shared fixtures";
  auto carved = testing::read_file(path);
  auto intact = open_container(padded(carved));
  ASSERT_TRUE(intact);
  ASSERT_GE(intact->walk()->size(), 10u);
  const size_t used_blocks = 442;
  std::mt19937 rng(7);
  for (int trial = 0; trial < 250; ++trial) {
    auto damaged = carved;
    size_t block = trial % 5 == 0 ? 0 : rng() % used_blocks;
    for (int i = 0; i < 1 + trial % 7; ++i) damaged[block * 4096 + rng() % 4096] = static_cast<uint8_t>(rng());
    if (trial % 2 == 1) {  // a right checksum, so that the damage is read as data
      std::span<uint8_t> b(damaged.data() + block * 4096, 4096);
      uint64_t sum = fletcher64(b);
      std::memcpy(b.data(), &sum, 8);
    }
    exercise(padded(damaged));
  }
  for (size_t blocks : {size_t{1}, size_t{3}, size_t{200}, used_blocks - 2}) {
    std::vector<uint8_t> cut(carved.begin(), carved.begin() + static_cast<long>(blocks * 4096));
    exercise(padded(cut, static_cast<off_t>(cut.size())));
  }
}

// Streaming a file into a sink (as extraction to disk will) gives the bytes
// reading it into memory gives, holes included.
TEST(ApfsStreaming, SinkAndMemoryAgree) {
  auto path = testing::fixtures_dir() / "real/apfs/securityronin_apfs_content.bin";
  if (!std::filesystem::exists(path)) GTEST_SKIP() << "no shared fixtures";
  auto reader = open_container(padded(testing::read_file(path)));
  ASSERT_TRUE(reader);
  size_t holes = 0;
  auto entries = reader->walk();
  ASSERT_TRUE(entries);
  for (const auto& e : *entries) {
    if (e.kind == fs::EntryKind::Directory) continue;
    auto in_memory = reader->read_file(e.path);
    ASSERT_TRUE(in_memory) << e.path;
    auto plan = reader->plan_file(e.path);
    ASSERT_TRUE(plan);
    for (const auto& piece : plan->pieces) holes += piece.hole;
    std::vector<uint8_t> streamed;
    VectorSink sink(streamed);
    auto produced = reader->read_planned(*plan, sink);
    ASSERT_TRUE(produced);
    EXPECT_EQ(*produced, in_memory->size());
    EXPECT_TRUE(std::equal(streamed.begin(), streamed.end(), in_memory->begin(), in_memory->end())) << e.path;
  }
  EXPECT_GT(holes, 0u);
}

}  // namespace
}  // namespace tev::apfs
