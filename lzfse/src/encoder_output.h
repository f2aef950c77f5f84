#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

namespace tev::lzfse {

// The caller's output buffer; a write that does not fit sets `overflow` and
// every later write is dropped.
struct EncoderOutput {
  std::span<uint8_t> dst;
  size_t pos = 0;
  bool overflow = false;

  bool room(size_t n) const { return !overflow && n <= dst.size() - pos; }
  void put(const uint8_t* data, size_t n) {
    if (!room(n)) {
      overflow = true;
      return;
    }
    if (n > 0) std::memcpy(dst.data() + pos, data, n);
    pos += n;
  }
  void put_u32(uint32_t v) {
    uint8_t b[4] = {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8),
                    static_cast<uint8_t>(v >> 16), static_cast<uint8_t>(v >> 24)};
    put(b, 4);
  }
};

// A raw block: the bytes as they are.
inline void put_raw_block(EncoderOutput& out, const uint8_t* data, size_t n);

}  // namespace tev::lzfse

#include "format.h"

namespace tev::lzfse {

inline void put_raw_block(EncoderOutput& out, const uint8_t* data, size_t n) {
  out.put_u32(kMagicRaw);
  out.put_u32(static_cast<uint32_t>(n));
  out.put(data, n);
}

}  // namespace tev::lzfse
