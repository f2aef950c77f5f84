#pragma once

// Byte copies of the decoders. A match copies forward from `distance` bytes
// back, so a distance below the length repeats the last `distance` bytes.
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace tev::lzfse {

// Bytes the wide copies may write past the end of what they copy.
inline constexpr size_t kCopySlack = 16;

inline void copy8(uint8_t* dst, const uint8_t* src) {
  uint64_t v;
  std::memcpy(&v, src, 8);
  std::memcpy(dst, &v, 8);
}

inline void copy_match_bytes(uint8_t* out, size_t distance, size_t length) {
  for (size_t i = 0; i < length; ++i) out[i] = out[i - distance];
}

inline void copy16(uint8_t* dst, const uint8_t* src) {
  uint8_t v[16];
  std::memcpy(v, src, 16);
  std::memcpy(dst, v, 16);
}

// Needs kCopySlack writable bytes past out + length.
inline void copy_match_wide(uint8_t* out, size_t distance, size_t length) {
  size_t i = 0;
  if (distance < 16) {
    // A period-d pattern also has period d * ceil(16 / d) >= 16: once that
    // many bytes of the match exist, copy whole 16-byte pieces from that far
    // back.
    size_t period = distance * ((16 + distance - 1) / distance);
    for (; i < period - distance && i < length; ++i) out[i] = out[i - distance];
    distance = period;
  }
  for (; i < length; i += 16) copy16(out + i, out + i - distance);
}

// Needs kCopySlack readable bytes past src + length and writable past dst + length.
inline void copy_literals_wide(uint8_t* dst, const uint8_t* src, size_t length) {
  for (size_t i = 0; i < length; i += 16) copy16(dst + i, src + i);
}

}  // namespace tev::lzfse
