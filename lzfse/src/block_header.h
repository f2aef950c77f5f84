#pragma once

// Headers of LZFSE compressed blocks: v1 keeps its frequency tables plain,
// v2 packs the counts into three words and codes the tables compactly.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "format.h"

namespace tev::lzfse {

struct BlockHeader {
  uint32_t n_raw_bytes = 0;
  uint32_t n_literals = 0;
  uint32_t n_matches = 0;
  uint32_t n_literal_payload_bytes = 0;
  uint32_t n_lmd_payload_bytes = 0;
  int32_t literal_bits = 0;
  int32_t lmd_bits = 0;
  uint16_t literal_state[4] = {};
  uint16_t l_state = 0;
  uint16_t m_state = 0;
  uint16_t d_state = 0;
  uint16_t l_freq[kLSymbols] = {};
  uint16_t m_freq[kMSymbols] = {};
  uint16_t d_freq[kDSymbols] = {};
  uint16_t literal_freq[kLiteralSymbols] = {};
  size_t header_size = 0;
};

inline constexpr size_t kV1HeaderSize = 772;
inline constexpr size_t kV2FixedSize = 32;

// Parse a header starting at its magic; nullopt when it is cut short or its
// fields are out of range.
std::optional<BlockHeader> parse_v1_header(std::span<const uint8_t> src);
std::optional<BlockHeader> parse_v2_header(std::span<const uint8_t> src);

// Appends a v2 header (magic included) for the given fields.
void write_v2_header(const BlockHeader& header, std::vector<uint8_t>& out);

}  // namespace tev::lzfse
