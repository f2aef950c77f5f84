#pragma once

#include <random>
#include <string>
#include <vector>

#include "tev/lzfse/lzfse.h"

namespace tev::lzfse::testing {

inline std::vector<uint8_t> encode(const std::vector<uint8_t>& in) {
  std::vector<uint8_t> out(in.size() + 4096);
  size_t n = encode_buffer(out, in);
  out.resize(n);
  return out;
}

// Decodes into a buffer of exactly `size` bytes.
inline DecodeResult decode_into(const std::vector<uint8_t>& stream, size_t size,
                                std::vector<uint8_t>& out) {
  out.assign(size, 0);
  return decode(stream, out);
}

inline std::vector<uint8_t> random_bytes(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<uint8_t> v(n);
  for (auto& b : v) b = static_cast<uint8_t>(rng());
  return v;
}

// Words drawn from a small vocabulary: compressible like real text.
inline std::vector<uint8_t> text_bytes(size_t n, uint32_t seed) {
  static const char* kWords[] = {"the ", "disk ", "image ", "volume ", "catalog ", "node ",
                                 "extent ", "block ", "of ", "and ", "file\n", "a ", "tree "};
  std::mt19937 rng(seed);
  std::string s;
  while (s.size() < n) s += kWords[rng() % 13];
  s.resize(n);
  return {s.begin(), s.end()};
}

inline std::vector<uint8_t> bytes_of(const std::string& s) { return {s.begin(), s.end()}; }

}  // namespace tev::lzfse::testing
