// Malformed streams: every one is refused, never read or written out of bounds.
#include <gtest/gtest.h>

#include "lzfse_test_util.h"

namespace tev::lzfse {
namespace {

using namespace tev::lzfse::testing;

void put32(std::vector<uint8_t>& v, uint32_t x) {
  for (int i = 0; i < 4; ++i) v.push_back(static_cast<uint8_t>(x >> (8 * i)));
}

std::vector<uint8_t> lzvn_block(uint32_t n_raw, const std::vector<uint8_t>& payload) {
  std::vector<uint8_t> v = bytes_of("bvxn");
  put32(v, n_raw);
  put32(v, static_cast<uint32_t>(payload.size()));
  v.insert(v.end(), payload.begin(), payload.end());
  return v;
}

std::vector<uint8_t> cat(std::vector<uint8_t> a, const std::vector<uint8_t>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

const std::vector<uint8_t> kEos = bytes_of("bvx$");
const std::vector<uint8_t> kLzvnEnd = {0x06, 0, 0, 0, 0, 0, 0, 0};

DecodeStatus status_of(const std::vector<uint8_t>& stream, size_t capacity = 1 << 16) {
  std::vector<uint8_t> out;
  return decode_into(stream, capacity, out).status;
}

TEST(LzfseDecoder, MixedBlocksShareOneOutput) {
  // Raw "hello world ", then LZVN: a match 12 back into the raw block, a nop, end.
  auto raw = bytes_of("bvx-");
  put32(raw, 12);
  raw = cat(raw, bytes_of("hello world "));
  auto stream = cat(cat(raw, lzvn_block(5, cat({0x10, 12, 0x0E}, kLzvnEnd))), kEos);
  std::vector<uint8_t> out;
  auto r = decode_into(stream, 64, out);
  ASSERT_EQ(r.status, DecodeStatus::Ok);
  out.resize(r.written);
  EXPECT_EQ(std::string(out.begin(), out.end()), "hello world hello");
  // Bytes after the end-of-stream block, even a second stream, are ignored.
  auto twice = cat(stream, stream);
  r = decode_into(cat(twice, {1, 2, 3}), 64, out);
  EXPECT_EQ(r.status, DecodeStatus::Ok);
  EXPECT_EQ(r.written, 17u);
}

TEST(LzfseDecoder, RefusesMalformedLzvnBlocks) {
  const std::pair<const char*, std::vector<uint8_t>> cases[] = {
      {"undefined 0x1E", lzvn_block(1, cat({0x1E}, kLzvnEnd))},
      {"undefined 0x70", lzvn_block(1, cat({0x70, 0, 0}, kLzvnEnd))},
      {"undefined 0xD5", lzvn_block(1, cat({0xD5, 0, 0}, kLzvnEnd))},
      {"distance 0", lzvn_block(4, cat({0xE1, 'a', 0x00, 0x00}, kLzvnEnd))},
      {"distance beyond output", lzvn_block(4, cat({0xE1, 'a', 0x00, 0x05}, kLzvnEnd))},
      {"match without a previous distance", lzvn_block(4, cat({0xE1, 'a', 0xF3}, kLzvnEnd))},
      {"end not at the end of the payload", lzvn_block(1, cat(cat({0xE1, 'a'}, kLzvnEnd), {0}))},
      {"empty block", lzvn_block(0, kLzvnEnd)},
      {"too few bytes out", lzvn_block(2, cat({0xE1, 'a'}, kLzvnEnd))},
      {"too many bytes out", lzvn_block(1, cat({0xE2, 'a', 'b'}, kLzvnEnd))},
      {"no end instruction", lzvn_block(1, {0xE1, 'a'})},
      {"cut end instruction", lzvn_block(1, {0xE1, 'a', 0x06, 0})},
      {"literal past the payload", lzvn_block(3, cat({0xE3, 'a'}, {}))},
  };
  for (const auto& [name, block] : cases) EXPECT_EQ(status_of(cat(block, kEos)), DecodeStatus::Invalid) << name;
  // The well-formed neighbour of those cases decodes.
  EXPECT_EQ(status_of(cat(lzvn_block(4, cat({0xE1, 'a', 0x00, 0x01}, kLzvnEnd)), kEos)), DecodeStatus::Ok);
}

TEST(LzfseDecoder, RefusesBrokenStreams) {
  EXPECT_EQ(status_of({}), DecodeStatus::Invalid);
  EXPECT_EQ(status_of(bytes_of("bvx")), DecodeStatus::Invalid);
  EXPECT_EQ(status_of(bytes_of("bvx?")), DecodeStatus::Invalid);
  auto raw = bytes_of("bvx-");
  put32(raw, 3);
  EXPECT_EQ(status_of(cat(raw, bytes_of("ab"))), DecodeStatus::Invalid);  // payload cut
  EXPECT_EQ(status_of(cat(raw, bytes_of("abc"))), DecodeStatus::Invalid);  // no end block
  EXPECT_EQ(status_of(cat(cat(raw, bytes_of("abc")), kEos)), DecodeStatus::Ok);
}

// The 4096-zero-byte v2 stream with one field changed at a time.
TEST(LzfseDecoder, RefusesBadV2Headers) {
  const auto good = encode(std::vector<uint8_t>(4096, 0));
  ASSERT_EQ(good.size(), 147u);
  ASSERT_EQ(status_of(good), DecodeStatus::Ok);
  struct Case {
    const char* name;
    size_t offset;
    uint8_t value;
  };
  const Case cases[] = {
      {"header size + 1", 24, 0x84},
      {"header size - 1", 24, 0x82},
      {"l_state 64 and more", 28, 0xFF},
      {"d_state above 255", 31, 0x3C},
      {"frequency sum 65", 32, 0xF7},
      {"nonzero padding bit", 142, 0xBF},
      {"n_literals not a multiple of 4", 8, 0x05},
      {"n_matches above the block limit", 13, 0xFF},
  };
  for (const Case& c : cases) {
    auto bad = good;
    bad[c.offset] = c.value;
    EXPECT_NE(status_of(bad), DecodeStatus::Ok) << c.name;
  }
}

TEST(LzfseDecoder, EveryPrefixOfAValidStreamIsRefused) {
  for (const auto& input : {text_bytes(20000, 1), text_bytes(300, 2), random_bytes(5, 3)}) {
    auto stream = encode(input);
    for (size_t n = 0; n < stream.size(); ++n) {
      std::vector<uint8_t> prefix(stream.begin(), stream.begin() + n);
      ASSERT_EQ(status_of(prefix, input.size() + 64), DecodeStatus::Invalid) << n;
    }
  }
}

// Flipped bits anywhere: the decoder may accept or refuse, but stays within
// its buffers (the sanitizer build checks that) and within its output.
TEST(LzfseDecoder, SurvivesFlippedBits) {
  std::mt19937 rng(77);
  for (const auto& input : {text_bytes(60000, 4), text_bytes(2000, 5)}) {
    auto stream = encode(input);
    for (int round = 0; round < 3000; ++round) {
      auto bad = stream;
      int flips = 1 + static_cast<int>(rng() % 4);
      for (int i = 0; i < flips; ++i) bad[rng() % bad.size()] ^= static_cast<uint8_t>(1u << (rng() % 8));
      std::vector<uint8_t> out;
      auto r = decode_into(bad, input.size(), out);
      ASSERT_LE(r.written, input.size());
    }
  }
}

TEST(LzvnStream, DecodesABareInstructionStream) {
  const std::vector<uint8_t> payload = cat({0x68, 0x01, 0x61, 0xF0, 0x05, 0xE2, 0x61, 0x61}, kLzvnEnd);
  std::vector<uint8_t> out(32);
  auto r = decode_lzvn(payload, out);
  EXPECT_EQ(r.status, DecodeStatus::Ok);
  EXPECT_EQ(r.written, 32u);
  EXPECT_EQ(out, std::vector<uint8_t>(32, 'a'));
  std::vector<uint8_t> small(10);
  r = decode_lzvn(payload, small);
  EXPECT_EQ(r.status, DecodeStatus::OutputFull);
  EXPECT_EQ(r.written, 10u);
  EXPECT_EQ(decode_lzvn(std::vector<uint8_t>(payload.begin(), payload.end() - 1), out).status,
            DecodeStatus::Invalid);
}

}  // namespace
}  // namespace tev::lzfse
