#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <expected>
#include <span>
#include <type_traits>

namespace tev {

namespace detail {
// One load of a whole integer, turned to the host's order: a single move
// (and byte swap) where a loop over the bytes might not become one.
template <class T, bool kBigEndian>
T load(const uint8_t* p) {
  static_assert(std::is_unsigned_v<T>);
  T value;
  std::memcpy(&value, p, sizeof(T));
  if constexpr (sizeof(T) > 1 && kBigEndian != (std::endian::native == std::endian::big)) value = std::byteswap(value);
  return value;
}
}  // namespace detail

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
    T value = detail::load<T, kBigEndian>(bytes_.data() + pos_);
    pos_ += sizeof(T);
    return value;
  }

  std::span<const uint8_t> bytes_;
  size_t pos_;
};


// One integer at a computed offset: the bounds are checked here, not by the
// caller.
template <class T>
std::expected<T, OutOfBounds> read_be(std::span<const uint8_t> bytes, size_t offset) {
  if (offset > bytes.size() || bytes.size() - offset < sizeof(T)) return std::unexpected(OutOfBounds{});
  return detail::load<T, true>(bytes.data() + offset);
}

template <class T>
std::expected<T, OutOfBounds> read_le(std::span<const uint8_t> bytes, size_t offset) {
  if (offset > bytes.size() || bytes.size() - offset < sizeof(T)) return std::unexpected(OutOfBounds{});
  return detail::load<T, false>(bytes.data() + offset);
}

// A field of a fixed-layout structure: its type and where it starts.
template <class T, size_t kOffset>
struct Field {
  using Type = T;
  static constexpr size_t offset = kOffset;
};

// An on-disk structure of N bytes, checked once when it is made; its fields
// are read at offsets the compiler checks against N, so no read can leave
// the structure.
template <size_t N>
class StructView {
 public:
  static constexpr size_t kSize = N;

  // The N bytes at `offset`, or OutOfBounds when fewer are there.
  static std::expected<StructView, OutOfBounds> of(std::span<const uint8_t> bytes, size_t offset = 0) {
    if (offset > bytes.size() || bytes.size() - offset < N) return std::unexpected(OutOfBounds{});
    return StructView(bytes.data() + offset);
  }

  template <class T, size_t kOffset>
  T be() const {
    static_assert(kOffset + sizeof(T) <= N, "field past the end of its structure");
    return detail::load<T, true>(p_ + kOffset);
  }
  template <class T, size_t kOffset>
  T le() const {
    static_assert(kOffset + sizeof(T) <= N, "field past the end of its structure");
    return detail::load<T, false>(p_ + kOffset);
  }
  template <class F>
  typename F::Type be(F) const {
    return be<typename F::Type, F::offset>();
  }
  template <class F>
  typename F::Type le(F) const {
    return le<typename F::Type, F::offset>();
  }
  template <size_t kOffset, size_t kLength>
  std::span<const uint8_t, kLength> bytes() const {
    static_assert(kOffset + kLength <= N, "field past the end of its structure");
    return std::span<const uint8_t, kLength>(p_ + kOffset, kLength);
  }
  // A structure nested at a fixed place inside this one.
  template <size_t kOffset, size_t kLength>
  StructView<kLength> sub() const {
    static_assert(kOffset + kLength <= N, "field past the end of its structure");
    return StructView<kLength>(p_ + kOffset);
  }
  std::span<const uint8_t, N> all() const { return std::span<const uint8_t, N>(p_, N); }

  // A view of bytes whose size the type already guarantees.
  explicit StructView(std::span<const uint8_t, N> bytes) : p_(bytes.data()) {}

 private:
  template <size_t>
  friend class StructView;
  explicit StructView(const uint8_t* p) : p_(p) {}
  const uint8_t* p_;
};

// Writes a field of a fixed-layout structure, for the writers of formats
// that are read through the same fields.
template <size_t N, class F>
void store_be(std::span<uint8_t, N> out, F, typename F::Type value) {
  static_assert(F::offset + sizeof(typename F::Type) <= N, "field past the end of its structure");
  for (size_t i = 0; i < sizeof(value); ++i)
    out[F::offset + i] = static_cast<uint8_t>(static_cast<uint64_t>(value) >> (8 * (sizeof(value) - 1 - i)));
}

}  // namespace tev
