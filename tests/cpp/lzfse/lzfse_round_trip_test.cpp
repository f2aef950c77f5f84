#include <gtest/gtest.h>

#include "lzfse_test_util.h"

namespace tev::lzfse {
namespace {

using namespace tev::lzfse::testing;

struct Input {
  std::string name;
  std::vector<uint8_t> bytes;
};

std::vector<Input> inputs() {
  std::vector<Input> v;
  for (size_t n : {0, 1, 2, 3, 4, 5, 6, 7, 8}) v.push_back({"random" + std::to_string(n), random_bytes(n, 1)});
  for (size_t n : {4095, 4096, 4097}) {
    v.push_back({"text" + std::to_string(n), text_bytes(n, 2)});
    v.push_back({"random" + std::to_string(n), random_bytes(n, 3)});
  }
  v.push_back({"text 1 MiB", text_bytes(1 << 20, 4)});
  v.push_back({"random 300 KiB", random_bytes(300 << 10, 5)});
  v.push_back({"zeros 2 MB", std::vector<uint8_t>(2000000, 0)});
  v.push_back({"one byte run 5000", std::vector<uint8_t>(5000, 0x5A)});
  v.push_back({"small zeros 100", std::vector<uint8_t>(100, 0)});
  // Periods 2 to 7: every match overlaps its source.
  for (size_t period = 2; period <= 7; ++period) {
    std::vector<uint8_t> p(70000);
    for (size_t i = 0; i < p.size(); ++i) p[i] = static_cast<uint8_t>("abcdefg"[i % period]);
    v.push_back({"period " + std::to_string(period), p});
    p.resize(3000);
    v.push_back({"short period " + std::to_string(period), p});
  }
  // A block repeated exactly at the largest LZFSE distance, and at the
  // largest and boundary LZVN distances.
  {
    auto r = random_bytes(262139 + 4000, 6);
    std::copy(r.begin(), r.begin() + 3000, r.begin() + 262139);
    v.push_back({"distance 262139", r});
  }
  for (size_t d : {1535, 1536, 2000, 3000}) {
    auto r = random_bytes(4000, 7);
    std::copy(r.begin(), r.begin() + (4000 - d), r.begin() + d);
    v.push_back({"lzvn distance " + std::to_string(d), r});
  }
  // Long literal runs between matches, and a run of 2360 (one past the
  // longest match).
  {
    auto r = random_bytes(20000, 8);
    std::fill(r.begin() + 1000, r.begin() + 3360, 'x');
    v.push_back({"literals and a 2360 run", r});
  }
  // Program-like bytes: small integers, repeated opcodes, zero padding.
  {
    std::vector<uint8_t> b;
    std::mt19937 rng(9);
    while (b.size() < 500000) {
      uint32_t k = rng() % 8;
      if (k < 3) b.insert(b.end(), {0x48, 0x89, 0xE5, static_cast<uint8_t>(rng() % 16)});
      else if (k < 5) b.insert(b.end(), rng() % 64, 0);
      else b.push_back(static_cast<uint8_t>(rng()));
    }
    v.push_back({"binary-like", b});
  }
  return v;
}

TEST(LzfseRoundTrip, EveryInputComesBackExactly) {
  for (const auto& [name, bytes] : inputs()) {
    auto stream = encode(bytes);
    ASSERT_FALSE(stream.empty()) << name;
    std::vector<uint8_t> out;
    auto r = decode_into(stream, bytes.size(), out);
    ASSERT_EQ(r.status, DecodeStatus::Ok) << name;
    ASSERT_EQ(r.written, bytes.size()) << name;
    ASSERT_TRUE(out == bytes) << name;
    // The stream never needs more than a raw copy and its block headers.
    EXPECT_LE(stream.size(), bytes.size() + 12 + 8 * (bytes.size() / 30000)) << name;
  }
}

// The magics of a stream's blocks, in order, the end block excluded.
std::vector<std::string> block_kinds(const std::vector<uint8_t>& s) {
  std::vector<std::string> kinds;
  size_t at = 0;
  auto u32 = [&](size_t o) { return uint32_t(s[o]) | uint32_t(s[o + 1]) << 8 | uint32_t(s[o + 2]) << 16 | uint32_t(s[o + 3]) << 24; };
  while (at + 4 <= s.size()) {
    std::string kind(s.begin() + at, s.begin() + at + 4);
    if (kind == "bvx$") break;
    kinds.push_back(kind);
    if (kind == "bvx-") at += 8 + u32(at + 4);
    else if (kind == "bvxn") at += 12 + u32(at + 8);
    else {
      uint64_t p0 = u32(at + 8) | uint64_t(u32(at + 12)) << 32, p1 = u32(at + 16) | uint64_t(u32(at + 20)) << 32;
      at += u32(at + 24) + ((p0 >> 20) & 0xFFFFF) + ((p1 >> 40) & 0xFFFFF);
    }
  }
  return kinds;
}

// Other decoders (7-Zip's among them) do not all accept raw blocks among
// compressed ones, so a stream is either all v2 blocks or one raw block.
TEST(LzfseEncoder, NeverMixesBlockKinds) {
  auto text = text_bytes(600000, 21);
  auto tail = random_bytes(3000, 22);
  auto mixed = text;
  mixed.insert(mixed.end(), tail.begin(), tail.end());
  auto head = random_bytes(200000, 23);
  head.insert(head.end(), text.begin(), text.begin() + 100000);
  for (const auto& input : {mixed, head, random_bytes(100000, 24)}) {
    auto kinds = block_kinds(encode(input));
    ASSERT_FALSE(kinds.empty());
    if (kinds.front() == "bvx-") {
      EXPECT_EQ(kinds.size(), 1u);
    } else {
      for (const auto& k : kinds) EXPECT_EQ(k, "bvx2");
    }
  }
}

TEST(LzfseRoundTrip, CompressesWhatIsCompressible) {
  EXPECT_LT(encode(text_bytes(1 << 20, 4)).size(), (1u << 20) / 3);
  EXPECT_LT(encode(std::vector<uint8_t>(2000000, 0)).size(), 2000u);
  EXPECT_LT(encode(std::vector<uint8_t>(100, 0)).size(), 40u);  // LZVN
}

TEST(LzfseEncoder, ReturnsZeroWhenTheOutputDoesNotFit) {
  for (const auto& input : {text_bytes(100000, 1), random_bytes(5000, 2), text_bytes(1000, 3),
                            std::vector<uint8_t>{}}) {
    auto stream = encode(input);
    std::vector<uint8_t> exact(stream.size());
    EXPECT_EQ(encode_buffer(exact, input), stream.size());
    std::vector<uint8_t> small(stream.size() - 1);
    EXPECT_EQ(encode_buffer(small, input), 0u);
  }
}

TEST(LzfseDecoder, OutputFullFillsTheBuffer) {
  auto input = text_bytes(100000, 11);
  auto stream = encode(input);
  for (size_t size : {size_t{0}, size_t{1}, size_t{5000}, input.size() - 1}) {
    std::vector<uint8_t> out;
    auto r = decode_into(stream, size, out);
    EXPECT_EQ(r.status, DecodeStatus::OutputFull) << size;
    EXPECT_EQ(r.written, size);
    EXPECT_TRUE(std::equal(out.begin(), out.end(), input.begin())) << size;
  }
  std::vector<uint8_t> big(input.size() * 2);
  EXPECT_EQ(decode_buffer(big, stream), input.size());
}

}  // namespace
}  // namespace tev::lzfse
