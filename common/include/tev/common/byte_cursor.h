#pragma once

#include <cstdint>
#include <expected>
#include <span>

namespace tev {

// Reading past the end of a cursor's bytes; each library turns it into its own
// error ("failed to fill whole buffer", "record out of bounds", ...).
struct OutOfBounds {};

// Reads fixed-width integers from untrusted bytes, big- or little-endian, and
// refuses to step past the end instead of reading beyond it.
class ByteCursor {
 public:
  explicit ByteCursor(std::span<const uint8_t> bytes, size_t position = 0)
      : bytes_(bytes), pos_(position) {}

  size_t position() const { return pos_; }
  size_t remaining() const { return pos_ <= bytes_.size() ? bytes_.size() - pos_ : 0; }

  std::expected<void, OutOfBounds> seek(size_t position);
  std::expected<void, OutOfBounds> skip(size_t count);
  std::expected<std::span<const uint8_t>, OutOfBounds> bytes(size_t count);

  std::expected<uint8_t, OutOfBounds> u8() { return read<uint8_t, false>(); }
  std::expected<uint16_t, OutOfBounds> u16be() { return read<uint16_t, true>(); }
  std::expected<uint32_t, OutOfBounds> u32be() { return read<uint32_t, true>(); }
  std::expected<uint64_t, OutOfBounds> u64be() { return read<uint64_t, true>(); }
  std::expected<uint16_t, OutOfBounds> u16le() { return read<uint16_t, false>(); }
  std::expected<uint32_t, OutOfBounds> u32le() { return read<uint32_t, false>(); }
  std::expected<uint64_t, OutOfBounds> u64le() { return read<uint64_t, false>(); }

 private:
  template <class T, bool kBigEndian>
  std::expected<T, OutOfBounds> read() {
    if (remaining() < sizeof(T)) return std::unexpected(OutOfBounds{});
    T value = 0;
    for (size_t i = 0; i < sizeof(T); ++i) {
      size_t shift = kBigEndian ? 8 * (sizeof(T) - 1 - i) : 8 * i;
      value |= static_cast<T>(static_cast<T>(bytes_[pos_ + i]) << shift);
    }
    pos_ += sizeof(T);
    return value;
  }

  std::span<const uint8_t> bytes_;
  size_t pos_;
};

// Fixed-offset loads for structures whose size has already been checked.
template <class T>
T load_be(std::span<const uint8_t> bytes, size_t offset) {
  T value = 0;
  for (size_t i = 0; i < sizeof(T); ++i) value = static_cast<T>((value << 8) | bytes[offset + i]);
  return value;
}

template <class T>
T load_le(std::span<const uint8_t> bytes, size_t offset) {
  T value = 0;
  for (size_t i = sizeof(T); i-- > 0;) value = static_cast<T>((value << 8) | bytes[offset + i]);
  return value;
}

}  // namespace tev
