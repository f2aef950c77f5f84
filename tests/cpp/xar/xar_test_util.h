#pragma once

// Builds XAR archives in memory around a TOC text of the test's own.
#include <zlib.h>

#include <cstdint>
#include <string>
#include <vector>

#include "tev/common/byte_source.h"
#include "tev/xar/xar_reader.h"

namespace tev::xar::testing {

inline std::vector<uint8_t> zlib_bytes(const std::string& text) {
  uLongf n = compressBound(text.size());
  std::vector<uint8_t> out(n);
  compress2(out.data(), &n, reinterpret_cast<const Bytef*>(text.data()), text.size(), 6);
  out.resize(n);
  return out;
}

inline void put_be(std::vector<uint8_t>& out, uint64_t value, int bytes) {
  for (int i = bytes - 1; i >= 0; --i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

inline std::vector<uint8_t> make_xar(const std::string& toc, const std::vector<uint8_t>& heap = {},
                                     uint16_t header_size = 28) {
  std::vector<uint8_t> compressed = zlib_bytes(toc);
  std::vector<uint8_t> out = {'x', 'a', 'r', '!'};
  put_be(out, header_size, 2);
  put_be(out, 1, 2);
  put_be(out, compressed.size(), 8);
  put_be(out, toc.size(), 8);
  put_be(out, 1, 4);
  out.resize(std::max<size_t>(out.size(), header_size), 0);
  out.insert(out.end(), compressed.begin(), compressed.end());
  out.insert(out.end(), heap.begin(), heap.end());
  return out;
}

inline std::string in_toc(const std::string& files) { return "<xar><toc>" + files + "</toc></xar>"; }

inline std::expected<XarReader, XarError> open_bytes(std::vector<uint8_t> bytes) {
  return XarReader::open(ByteSource::from_bytes(std::move(bytes)));
}

}  // namespace tev::xar::testing
