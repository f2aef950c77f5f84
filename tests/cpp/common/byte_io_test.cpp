// ByteSource, the sinks and anonymous temporary files.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <numeric>
#include <thread>

#include "tev/common/byte_sink.h"
#include "tev/common/byte_source.h"
#include "tev/common/temp_file.h"

namespace tev {
namespace {

namespace fs = std::filesystem;

std::vector<uint8_t> pattern(size_t n) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(i * 7 + i / 251);
  return v;
}

class ScratchDir : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("tev-test-" + std::to_string(::getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }
  std::string path(const std::string& name) const { return (dir_ / name).string(); }

  fs::path dir_;
};

using ByteSourceTest = ScratchDir;

std::string write_file(const std::string& path, const std::vector<uint8_t>& data) {
  auto sink = FileSink::create(path);
  EXPECT_TRUE(sink);
  EXPECT_TRUE(sink->write(data));
  EXPECT_TRUE(sink->finish());
  return path;
}

// Every kind of source gives the same bytes for the same reads, including
// reads that straddle the read buffer and reads larger than it.
TEST_F(ByteSourceTest, EveryKindReadsTheSameBytes) {
  auto data = pattern(100000);
  auto file = ByteSource::open_file(write_file(path("f.bin"), data));
  ASSERT_TRUE(file);
  auto temp = TempFile::create();
  ASSERT_TRUE(temp);
  {
    auto w = temp->writer();
    ASSERT_TRUE(w);
    ASSERT_TRUE(w->write(data));
    ASSERT_TRUE(w->finish());
  }
  auto from_temp = ByteSource::from_temp_file(std::move(*temp));
  ASSERT_TRUE(from_temp);
  auto memory = ByteSource::from_bytes(data);
  const std::pair<uint64_t, size_t> reads[] = {
      {0, 1}, {8190, 4}, {8192, 8192}, {5, 20000}, {99990, 10}, {100000, 0}, {50000, 3}, {49999, 3},
  };
  for (const ByteSource* source : {&*file, &*from_temp, &memory}) {
    EXPECT_EQ(source->size(), data.size());
    for (auto [offset, length] : reads) {
      std::vector<uint8_t> out(length);
      ASSERT_TRUE(source->read_exact_at(offset, out)) << offset;
      EXPECT_TRUE(std::equal(out.begin(), out.end(), data.begin() + offset)) << offset;
    }
  }
  EXPECT_TRUE(memory.memory());
  EXPECT_FALSE(file->memory());
}

TEST_F(ByteSourceTest, ShortReadsFailWithTheEofText) {
  auto data = pattern(10000);
  auto file = ByteSource::open_file(write_file(path("f.bin"), data));
  ASSERT_TRUE(file);
  auto memory = ByteSource::from_bytes(data);
  for (const ByteSource* source : {&*file, &memory}) {
    for (auto [offset, length] : {std::pair<uint64_t, size_t>{9990, 11}, {10001, 1},
                                  {UINT64_MAX - 2, 8}, {0, 20000}}) {
      std::vector<uint8_t> out(length);
      auto r = source->read_exact_at(offset, out);
      ASSERT_FALSE(r) << offset;
      EXPECT_TRUE(r.error().is_unexpected_eof());
      EXPECT_EQ(r.error().message(), "failed to fill whole buffer");
    }
    // An absurd length is refused before anything is allocated.
    auto huge = source->read_vec_at(0, uint64_t{1} << 60);
    ASSERT_FALSE(huge);
    EXPECT_EQ(huge.error().message(), "failed to fill whole buffer");
  }
}

TEST_F(ByteSourceTest, ConcurrentReadsSeeTheirOwnBytes) {
  auto data = pattern(1 << 20);
  auto file = ByteSource::open_file(write_file(path("f.bin"), data));
  ASSERT_TRUE(file);
  std::atomic<int> mismatches{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (uint64_t offset = t * 13; offset + 16 < data.size(); offset += 4099) {
        uint8_t out[16];
        if (!file->read_exact_at(offset, out) || !std::equal(out, out + 16, data.begin() + offset))
          mismatches.fetch_add(1);
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(mismatches.load(), 0);
}

TEST_F(ByteSourceTest, OpeningReportsTheSystemError) {
  auto missing = ByteSource::open_file(path("missing"));
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().code(), ENOENT);
  EXPECT_EQ(missing.error().message(), "No such file or directory");
  auto dir = ByteSource::open_file(dir_.string());
  ASSERT_FALSE(dir);
  EXPECT_EQ(dir.error().code(), EISDIR);
}

using FileSinkTest = ScratchDir;

TEST_F(FileSinkTest, WritesSmallAndLargePiecesInOrder) {
  auto data = pattern(3 * FileSink::kBufferSize + 123);
  auto sink = FileSink::create(path("out.bin"));
  ASSERT_TRUE(sink);
  // Pieces below, at and above the buffer size.
  size_t cuts[] = {1, 100, FileSink::kBufferSize, 5, FileSink::kBufferSize * 2 - 106};
  size_t at = 0;
  for (size_t n : cuts) {
    ASSERT_TRUE(sink->write(std::span(data).subspan(at, n)));
    at += n;
  }
  ASSERT_TRUE(sink->write(std::span(data).subspan(at)));
  EXPECT_EQ(sink->bytes_written(), data.size());
  ASSERT_TRUE(sink->finish());
  auto back = ByteSource::open_file(path("out.bin"));
  ASSERT_TRUE(back);
  auto bytes = back->read_vec_at(0, back->size());
  ASSERT_TRUE(bytes);
  EXPECT_EQ(*bytes, data);
  EXPECT_FALSE(sink->write(data));  // finished
}

TEST_F(FileSinkTest, ZerosBecomeHolesThatReadAsZeros) {
  // In the middle, at the end, and into a pipe, which cannot seek.
  auto data = pattern(3000);
  std::vector<uint8_t> want;
  auto sink = FileSink::create(path("sparse.bin"));
  ASSERT_TRUE(sink);
  for (uint64_t zeros : {uint64_t{8} << 20, uint64_t{0}, uint64_t{5000}}) {
    ASSERT_TRUE(sink->write(data));
    ASSERT_TRUE(sink->write_zeros(zeros));
    want.insert(want.end(), data.begin(), data.end());
    want.resize(want.size() + zeros, 0);
  }
  EXPECT_EQ(sink->bytes_written(), want.size());
  ASSERT_TRUE(sink->finish());
  auto back = ByteSource::open_file(path("sparse.bin"));
  ASSERT_TRUE(back);
  EXPECT_EQ(*back->read_vec_at(0, back->size()), want);
  struct stat st {};
  ASSERT_EQ(::stat(path("sparse.bin").c_str(), &st), 0);
  EXPECT_LT(static_cast<uint64_t>(st.st_blocks) * 512, uint64_t{1} << 20);

  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  FileSink pipe_sink{UniqueFd(fds[1])};
  ASSERT_TRUE(pipe_sink.write_zeros(1000));
  ASSERT_TRUE(pipe_sink.finish());
  std::vector<uint8_t> got(2000, 1);
  EXPECT_EQ(::read(fds[0], got.data(), got.size()), 1000);
  got.resize(1000);
  EXPECT_EQ(got, std::vector<uint8_t>(1000, 0));
  ::close(fds[0]);
}

TEST_F(FileSinkTest, TruncatesAnExistingFileAndReportsFailures) {
  write_file(path("f"), pattern(5000));
  write_file(path("f"), pattern(10));
  EXPECT_EQ(fs::file_size(path("f")), 10u);
  auto bad = FileSink::create(path("no/such/dir/f"));
  ASSERT_FALSE(bad);
  EXPECT_EQ(bad.error().code(), ENOENT);
}

TEST(TempFile, IsAnonymousAndLivesInTheTemporaryDirectory) {
  auto temp = TempFile::create();
  ASSERT_TRUE(temp);
  char link[64];
  std::snprintf(link, sizeof link, "/proc/self/fd/%d", temp->fd());
  std::string target = fs::read_symlink(link).string();
  EXPECT_EQ(target.rfind(fs::temp_directory_path().string(), 0), 0u) << target;
  EXPECT_NE(target.find("(deleted)"), std::string::npos) << target;
}

TEST(VectorSink, Appends) {
  std::vector<uint8_t> out = {9};
  VectorSink sink(out);
  const uint8_t a[] = {1, 2};
  ASSERT_TRUE(sink.write(a));
  ASSERT_TRUE(sink.write(a));
  EXPECT_EQ(out, (std::vector<uint8_t>{9, 1, 2, 1, 2}));
}

}  // namespace
}  // namespace tev
