#include "load_le.h"
#include "block_header.h"


namespace tev::lzfse {
namespace {

// The 360 frequencies in their stored order.
template <class F>
void for_each_frequency(BlockHeader& h, F&& f) {
  for (auto& v : h.l_freq) f(v);
  for (auto& v : h.m_freq) f(v);
  for (auto& v : h.d_freq) f(v);
  for (auto& v : h.literal_freq) f(v);
}

// Prefix code of a frequency: (length in bits, code read LSB-first).
std::pair<int, uint32_t> frequency_code(uint32_t v) {
  static constexpr std::pair<int, uint32_t> kSmall[8] = {{2, 0},  {2, 2},  {3, 1},  {3, 5},
                                                         {5, 3},  {5, 11}, {5, 19}, {5, 27}};
  if (v < 8) return kSmall[v];
  if (v < 24) return {8, 7 + ((v - 8) << 4)};
  return {14, 15 + ((v - 24) << 4)};
}

// Decodes one code from the low bits of `bits`; returns its length.
int decode_frequency(uint32_t bits, uint16_t& value) {
  static constexpr int8_t kLength[32] = {2, 3, 2, 5, 2, 3, 2, 8, 2, 3, 2, 5, 2, 3, 2, 14,
                                         2, 3, 2, 5, 2, 3, 2, 8, 2, 3, 2, 5, 2, 3, 2, 14};
  static constexpr int8_t kValue[32] = {0, 2, 1, 4, 0, 3, 1, -1, 0, 2, 1, 5, 0, 3, 1, -1,
                                        0, 2, 1, 6, 0, 3, 1, -1, 0, 2, 1, 7, 0, 3, 1, -1};
  uint32_t b = bits & 31;
  int length = kLength[b];
  if (length == 8)
    value = static_cast<uint16_t>(8 + ((bits >> 4) & 0xF));
  else if (length == 14)
    value = static_cast<uint16_t>(24 + ((bits >> 4) & 0x3FF));
  else
    value = static_cast<uint16_t>(kValue[b]);
  return length;
}

bool states_in_range(const BlockHeader& h) {
  for (auto s : h.literal_state)
    if (s >= kLiteralStates) return false;
  return h.l_state < kLStates && h.m_state < kMStates && h.d_state < kDStates &&
         h.n_literals <= kMaxLiterals && h.n_matches <= kMaxMatches;
}

uint64_t bits_of(uint64_t word, int lo, int width) { return (word >> lo) & ((uint64_t{1} << width) - 1); }

}  // namespace

std::optional<BlockHeader> parse_v1_header(std::span<const uint8_t> src) {
  if (src.size() < kV1HeaderSize) return std::nullopt;
  BlockHeader h;
  h.header_size = kV1HeaderSize;
  h.n_raw_bytes = load_le<uint32_t>(src, 4);
  // n_payload_bytes at 8 repeats the two payload sizes and is not used.
  h.n_literals = load_le<uint32_t>(src, 12);
  h.n_matches = load_le<uint32_t>(src, 16);
  h.n_literal_payload_bytes = load_le<uint32_t>(src, 20);
  h.n_lmd_payload_bytes = load_le<uint32_t>(src, 24);
  h.literal_bits = static_cast<int32_t>(load_le<uint32_t>(src, 28));
  for (int i = 0; i < 4; ++i) h.literal_state[i] = load_le<uint16_t>(src, 32 + 2 * i);
  h.lmd_bits = static_cast<int32_t>(load_le<uint32_t>(src, 40));
  h.l_state = load_le<uint16_t>(src, 44);
  h.m_state = load_le<uint16_t>(src, 46);
  h.d_state = load_le<uint16_t>(src, 48);
  size_t at = 50;
  for_each_frequency(h, [&](uint16_t& v) {
    v = load_le<uint16_t>(src, at);
    at += 2;
  });
  if (h.literal_bits < -8 || h.literal_bits > 0 || h.lmd_bits < -8 || h.lmd_bits > 0)
    return std::nullopt;
  if (!states_in_range(h)) return std::nullopt;
  return h;
}

std::optional<BlockHeader> parse_v2_header(std::span<const uint8_t> src) {
  if (src.size() < kV2FixedSize) return std::nullopt;
  BlockHeader h;
  h.n_raw_bytes = load_le<uint32_t>(src, 4);
  uint64_t p0 = load_le<uint64_t>(src, 8);
  uint64_t p1 = load_le<uint64_t>(src, 16);
  uint64_t p2 = load_le<uint64_t>(src, 24);
  h.n_literals = static_cast<uint32_t>(bits_of(p0, 0, 20));
  h.n_literal_payload_bytes = static_cast<uint32_t>(bits_of(p0, 20, 20));
  h.n_matches = static_cast<uint32_t>(bits_of(p0, 40, 20));
  h.literal_bits = static_cast<int32_t>(bits_of(p0, 60, 3)) - 7;
  for (int i = 0; i < 4; ++i) h.literal_state[i] = static_cast<uint16_t>(bits_of(p1, 10 * i, 10));
  h.n_lmd_payload_bytes = static_cast<uint32_t>(bits_of(p1, 40, 20));
  h.lmd_bits = static_cast<int32_t>(bits_of(p1, 60, 3)) - 7;
  h.header_size = static_cast<size_t>(bits_of(p2, 0, 32));
  h.l_state = static_cast<uint16_t>(bits_of(p2, 32, 10));
  h.m_state = static_cast<uint16_t>(bits_of(p2, 42, 10));
  h.d_state = static_cast<uint16_t>(bits_of(p2, 52, 10));
  if (!states_in_range(h)) return std::nullopt;
  if (h.header_size < kV2FixedSize || h.header_size > src.size()) return std::nullopt;
  if (h.header_size == kV2FixedSize) return h;  // no tables: every frequency is 0

  // The table codes, LSB-first, refilled a byte at a time; every byte up to
  // header_size must be used and fewer than 8 bits may be left over.
  size_t at = kV2FixedSize;
  uint32_t accum = 0;
  int count = 0;
  bool ok = true;
  for_each_frequency(h, [&](uint16_t& v) {
    if (!ok) return;
    while (count <= 24 && at < h.header_size) {
      accum |= static_cast<uint32_t>(src[at++]) << count;
      count += 8;
    }
    int length = decode_frequency(accum, v);
    if (length > count) {
      ok = false;
      return;
    }
    accum >>= length;
    count -= length;
  });
  if (!ok || count >= 8 || at != h.header_size) return std::nullopt;
  return h;
}

void write_v2_header(const BlockHeader& header, std::vector<uint8_t>& out) {
  BlockHeader h = header;
  std::vector<uint8_t> tables;
  uint64_t accum = 0;
  int count = 0;
  for_each_frequency(h, [&](uint16_t& v) {
    auto [length, code] = frequency_code(v);
    accum |= static_cast<uint64_t>(code) << count;
    count += length;
    while (count >= 8) {
      tables.push_back(static_cast<uint8_t>(accum));
      accum >>= 8;
      count -= 8;
    }
  });
  if (count > 0) tables.push_back(static_cast<uint8_t>(accum));
  uint64_t header_size = kV2FixedSize + tables.size();

  uint64_t p0 = uint64_t{h.n_literals} | (uint64_t{h.n_literal_payload_bytes} << 20) |
                (uint64_t{h.n_matches} << 40) | (static_cast<uint64_t>(h.literal_bits + 7) << 60);
  uint64_t p1 = 0;
  for (int i = 0; i < 4; ++i) p1 |= uint64_t{h.literal_state[i]} << (10 * i);
  p1 |= (uint64_t{h.n_lmd_payload_bytes} << 40) | (static_cast<uint64_t>(h.lmd_bits + 7) << 60);
  uint64_t p2 = header_size | (uint64_t{h.l_state} << 32) | (uint64_t{h.m_state} << 42) |
                (uint64_t{h.d_state} << 52);

  auto put = [&](uint64_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
  };
  put(kMagicV2, 4);
  put(h.n_raw_bytes, 4);
  put(p0, 8);
  put(p1, 8);
  put(p2, 8);
  out.insert(out.end(), tables.begin(), tables.end());
}

}  // namespace tev::lzfse
