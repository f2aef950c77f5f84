// Reassembling partitions in memory and as a stream, and the chunk codecs.
#include <gtest/gtest.h>
#include <zlib.h>

#include "tev/lzfse/lzfse.h"
#include "tev/udif/codecs.h"
#include "tev/udif/extract.h"

namespace tev::udif {
namespace {

std::vector<uint8_t> filled(size_t n, uint8_t v) { return std::vector<uint8_t>(n, v); }

DmgImage image_of(std::vector<uint8_t> fork, uint64_t sectors, std::vector<BlockRun> runs) {
  DmgImage image{ByteSource::from_bytes(std::move(fork)), {}, {}};
  PartitionEntry p;
  p.name = "disk image (Apple_HFS : 1)";
  p.id = 1;
  p.table.sector_count = sectors;
  p.table.runs = std::move(runs);
  image.partitions.push_back(std::move(p));
  return image;
}

struct Both {
  std::expected<std::vector<uint8_t>, DmgError> memory;
  std::expected<std::vector<uint8_t>, DmgError> stream;
};

Both extract(const DmgImage& image) {
  std::vector<uint8_t> out;
  VectorSink sink(out);
  auto n = extract_partition_stream(image, 1, sink);
  Both b{extract_partition_memory(image, 1), std::vector<uint8_t>()};
  if (n) {
    EXPECT_EQ(*n, out.size());
    b.stream = out;
  } else {
    b.stream = std::unexpected(n.error());
  }
  return b;
}

std::vector<uint8_t> zlib_of(const std::vector<uint8_t>& data) {
  uLongf n = compressBound(data.size());
  std::vector<uint8_t> out(n);
  compress2(out.data(), &n, data.data(), data.size(), 6);
  out.resize(n);
  return out;
}

std::vector<uint8_t> cat(std::vector<uint8_t> a, const std::vector<uint8_t>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

TEST(Extraction, BothModesAgreeOnGapsOverlapsAndShortRuns) {
  auto a = filled(512, 'A'), b = filled(512, 'B');
  struct Case {
    const char* name;
    std::vector<uint8_t> fork;
    uint64_t sectors;
    std::vector<BlockRun> runs;
    std::vector<uint8_t> expected;
  };
  const Case cases[] = {
      {"first half only", cat(a, a), 4, {{run_type::kRaw, 0, 0, 2, 0, 1024}}, cat(cat(a, a), filled(1024, 0))},
      {"no runs", {}, 3, {}, filled(1536, 0)},
      {"same sector twice", cat(a, b), 3,
       {{run_type::kRaw, 0, 0, 1, 0, 512}, {run_type::kRaw, 0, 0, 1, 512, 512}}, cat(cat(a, b), filled(512, 0))},
      {"gap between runs", cat(a, b), 4,
       {{run_type::kRaw, 0, 0, 1, 0, 512}, {run_type::kIgnore, 0, 2, 1, 512, 512}},
       cat(cat(cat(a, filled(512, 0)), b), filled(512, 0))},
      {"raw storing less", filled(100, 'x'), 1, {{run_type::kRaw, 0, 0, 1, 0, 100}}, cat(filled(100, 'x'), filled(412, 0))},
      {"zero fill with a length", a, 1, {{run_type::kZeroFill, 0, 0, 1, 0, 512}}, filled(512, 0)},
      {"raw without stored bytes", a, 1, {{run_type::kRaw, 0, 0, 1, 0, 0}}, filled(512, 0)},
      {"comment and terminator", a, 1,
       {{run_type::kComment, 0, 0, 1, 0, 512}, {run_type::kTerminator, 0, 1, 0, 0, 0}}, filled(512, 0)},
  };
  for (const Case& c : cases) {
    auto r = extract(image_of(c.fork, c.sectors, c.runs));
    ASSERT_TRUE(r.memory) << c.name << ": " << r.memory.error().message();
    ASSERT_TRUE(r.stream) << c.name << ": " << r.stream.error().message();
    EXPECT_TRUE(*r.memory == c.expected) << c.name;
    EXPECT_TRUE(*r.stream == c.expected) << c.name;
  }
}

TEST(Extraction, LongRawRunsAreCutOffInMemoryAndRefusedBeforeStreaming) {
  auto image = image_of(filled(600, 'y'), 1, {{run_type::kRaw, 0, 0, 1, 0, 600}});
  auto r = extract(image);
  ASSERT_TRUE(r.memory);
  EXPECT_EQ(*r.memory, filled(512, 'y'));
  std::vector<uint8_t> out;
  VectorSink sink(out);
  auto streamed = extract_partition_stream(image, 1, sink);
  ASSERT_FALSE(streamed);
  EXPECT_EQ(streamed.error().message(), "invalid block map: block run stores 600 bytes but declares only 512");
  EXPECT_TRUE(out.empty());  // refused before anything was written
  // A run reaching past the partition has no place in it in either mode.
  r = extract(image_of(filled(1024, 'z'), 1, {{run_type::kRaw, 0, 0, 2, 0, 1024}}));
  for (auto* result : {&r.memory, &r.stream}) {
    ASSERT_FALSE(*result);
    EXPECT_EQ(result->error().message(),
              "invalid block map: block run at byte 0 of 1024 bytes reaches past the partition's 512 bytes");
  }
}

// Windows of many runs, codec runs among raw ones and gaps, and a raw run
// longer than a window: the sink gets exactly the bytes of the buffer.
TEST(Extraction, TheSinkGetsTheBufferBytesAcrossManyWindows) {
  std::vector<uint8_t> fork, expected;
  std::vector<BlockRun> runs;
  uint64_t sector = 0;
  for (int i = 0; i < 300; ++i) {
    std::vector<uint8_t> chunk(4096);
    for (size_t k = 0; k < chunk.size(); ++k) chunk[k] = static_cast<uint8_t>(i * 7 + k % 13);
    auto stored = i % 3 == 0 ? chunk : zlib_of(chunk);
    runs.push_back({i % 3 == 0 ? run_type::kRaw : run_type::kZlib, 0, sector, 8, fork.size(), stored.size()});
    fork.insert(fork.end(), stored.begin(), stored.end());
    expected.insert(expected.end(), chunk.begin(), chunk.end());
    sector += 8;
    if (i % 50 == 0) {  // a gap of zeros
      expected.resize(expected.size() + 1024, 0);
      sector += 2;
    }
  }
  std::vector<uint8_t> long_raw((65u << 20) + 512, 'L');
  runs.push_back({run_type::kRaw, 0, sector, long_raw.size() / 512 + 2, fork.size(), long_raw.size()});
  fork.insert(fork.end(), long_raw.begin(), long_raw.end());
  expected.insert(expected.end(), long_raw.begin(), long_raw.end());
  expected.resize(expected.size() + 1024 + 4096, 0);  // the raw run's zero tail, then the partition's
  auto image = image_of(fork, expected.size() / 512, runs);
  auto plan = plan_partition(image, 1);
  ASSERT_TRUE(plan) << plan.error().message();
  std::vector<uint8_t> out;
  VectorSink sink(out);
  ASSERT_TRUE(decode_partition_to(image, *plan, sink));
  EXPECT_TRUE(out == expected);
  std::vector<uint8_t> memory(static_cast<size_t>(plan->size), 0xEE);
  ASSERT_TRUE(decode_partition(image, *plan, memory));
  EXPECT_TRUE(memory == expected);
}

TEST(Extraction, RefusesMissingPartitionsAndAbsurdSizes) {
  auto image = image_of({}, 1, {});
  EXPECT_EQ(extract_partition_memory(image, 9).error().message(), "file not found: partition 9");
  EXPECT_EQ(find_by_name(image, "nope").error().message(), "file not found: nope");
  // Sizes from the table are untrusted: none of these may allocate them.
  const BlockRun huge_runs[] = {
      {run_type::kZlib, 0, 0, uint64_t{1} << 50, 0, 4},
      {run_type::kRaw, 0, 0, 1, 0, uint64_t{1} << 40},
      {run_type::kRaw, 0, UINT64_MAX, 1, 0, 4},
      {run_type::kRaw, 0, 0, 1, UINT64_MAX - 1, 4},
  };
  for (const BlockRun& run : huge_runs) {
    auto bad = extract_partition_memory(image_of(filled(16, 1), 1, {run}), 1);
    EXPECT_FALSE(bad) << run.sector_count;
  }
  EXPECT_FALSE(extract_partition_memory(image_of({}, uint64_t{1} << 54, {}), 1));
  // Many runs naming the same stored bytes would read the file many times over.
  std::vector<BlockRun> repeated(100, {run_type::kRaw, 0, 0, 1, 0, 512});
  EXPECT_FALSE(extract_partition_memory(image_of(filled(600, 1), 1, repeated), 1));
}

TEST(Selection, MainPartition) {
  DmgImage image{ByteSource::from_bytes({}), {}, {}};
  EXPECT_EQ(select_main_partition(image).error().message(), "file not found: no partitions found");
  auto add = [&](const char* name, int32_t id, uint64_t sectors) {
    PartitionEntry p;
    p.name = name;
    p.id = id;
    p.table.sector_count = sectors;
    image.partitions.push_back(p);
  };
  add("Apple_Free", 10, 100);
  add("disk image (Apple_HFS : 1)", 11, 50);
  add("disk image (Apple_HFS : 2)", 12, 50);
  EXPECT_EQ(*select_main_partition(image), 12);
  image.partitions.resize(1);
  add("other", 13, 100);
  EXPECT_EQ(*select_main_partition(image), 13);
  EXPECT_EQ(partition_type("x (Apple_HFSX : 1)"), "Hfsx");
  EXPECT_EQ(partition_type("x (Apple_HFS : 1)"), "Hfs");
  EXPECT_EQ(partition_type("x (Apple_APFS : 1)"), "Apfs");
  EXPECT_EQ(partition_type("Apple_Free"), "Other");
}

TEST(Codecs, ZlibExactShortLongerAndCorrupt) {
  std::vector<uint8_t> data(4096);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 31 % 251);
  auto stream = zlib_of(data);
  std::vector<uint8_t> out(4096, 0);
  ASSERT_TRUE(decode_run(run_type::kZlib, stream, out));
  EXPECT_EQ(out, data);
  std::vector<uint8_t> more(4608, 0);
  EXPECT_EQ(decode_run(run_type::kZlib, stream, more).error().message(),
            "decompression error: zlib decoded 4096 bytes, expected 4608");
  std::vector<uint8_t> less(3584, 0);
  ASSERT_TRUE(decode_run(run_type::kZlib, stream, less));
  EXPECT_TRUE(std::equal(less.begin(), less.end(), data.begin()));
  auto corrupt = stream;
  corrupt[0] = 0x00;  // header check fails
  auto bad = decode_run(run_type::kZlib, corrupt, out);
  ASSERT_FALSE(bad);
  EXPECT_EQ(bad.error().kind(), DmgError::Kind::Decompression);
  EXPECT_TRUE(bad.error().message().starts_with("decompression error: corrupt deflate stream"))
      << bad.error().message();
  auto cut = std::vector<uint8_t>(stream.begin(), stream.begin() + stream.size() / 2);
  auto short_run = decode_run(run_type::kZlib, cut, out);
  ASSERT_FALSE(short_run);
  EXPECT_EQ(short_run.error().kind(), DmgError::Kind::Decompression);
}

// The three ADC tokens by hand: a literal run, a short copy and a long one
// that overlaps what it writes; then damage of every kind.
TEST(Codecs, AdcTokensAndTheirDamage) {
  const std::vector<uint8_t> stream = {
      0x82, 'a', 'b', 'c',  // literal of 3
      0x04, 0x02,           // 2-byte copy: ((0x04 >> 2) & 15) + 3 = 4 bytes from 3 back
      0x41, 0x00, 0x00,     // 3-byte copy: (0x41 & 63) + 4 = 5 bytes from 1 back
  };
  std::vector<uint8_t> out(12);
  ASSERT_TRUE(decode_run(run_type::kAdc, stream, out));
  EXPECT_EQ(std::string(out.begin(), out.end()), "abcabcaaaaaa");
  struct Case {
    std::vector<uint8_t> in;
    size_t out;
    const char* message;
  };
  const Case cases[] = {
      {{0x82, 'a'}, 3, "decompression error: ADC: literal past the end of the input at byte 0 of the run"},
      {{0x82, 'a', 'b', 'c'}, 2, "decompression error: ADC: literal past the end of the output at byte 0 of the run"},
      {{0x80, 'a', 0x04, 0x05}, 5, "decompression error: ADC: copy from before the start of the output at byte 4 of the run"},
      {{0x80, 'a', 0x41}, 5, "decompression error: ADC: copy token cut short at byte 2 of the run"},
      {{0x80, 'a', 0x04}, 5, "decompression error: ADC: copy token cut short at byte 2 of the run"},
      {{0x80, 'a', 0x04, 0x00}, 3, "decompression error: ADC: copy past the end of the output at byte 4 of the run"},
      {{0x80, 'a'}, 2, "decompression error: ADC decoded 1 bytes, expected 2"},
  };
  for (const auto& c : cases) {
    std::vector<uint8_t> o(c.out);
    auto r = decode_run(run_type::kAdc, c.in, o);
    ASSERT_FALSE(r) << c.message;
    EXPECT_EQ(r.error().message(), c.message);
    EXPECT_EQ(r.error().kind(), DmgError::Kind::Decompression);
  }
}

TEST(Codecs, LzfseSizesAndTheWriterKinds) {
  std::vector<uint8_t> data(2048, 'q');
  auto stream = encode_chunk(CompressionKind::Lzfse, 6, data);
  ASSERT_TRUE(stream);
  std::vector<uint8_t> out(2048);
  ASSERT_TRUE(decode_run(run_type::kLzfse, *stream, out));
  EXPECT_EQ(out, data);
  std::vector<uint8_t> half(1024);
  EXPECT_EQ(decode_run(run_type::kLzfse, *stream, half).error().message(),
            "decompression error: LZFSE: BufferTooSmall");
  std::vector<uint8_t> bigger(1536);
  EXPECT_EQ(decode_run(run_type::kLzfse, *stream, bigger).error().message(),
            "decompression error: lzfse decoded 2048 bytes, expected 1536");
  std::vector<uint8_t> garbage = {1, 2, 3};
  EXPECT_EQ(decode_run(run_type::kLzfse, garbage, out).error().message(),
            "decompression error: lzfse decoded 0 bytes, expected 2048");
  auto bz0 = encode_chunk(CompressionKind::Bzip2, 0, data);
  ASSERT_FALSE(bz0);
  EXPECT_EQ(bz0.error().kind(), DmgError::Kind::Compression);
  for (auto kind : {CompressionKind::Raw, CompressionKind::Zlib, CompressionKind::Bzip2}) {
    auto enc = encode_chunk(kind, 9, data);
    ASSERT_TRUE(enc);
    std::vector<uint8_t> back(2048);
    ASSERT_TRUE(decode_run(run_type_of(kind), *enc, back));
    EXPECT_EQ(back, data);
  }
}

}  // namespace
}  // namespace tev::udif
