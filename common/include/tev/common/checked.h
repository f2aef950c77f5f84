#pragma once

#include <cstdint>
#include <optional>

namespace tev {

// Whether [offset, offset + length) lies within [0, limit); written so that
// neither side can overflow, whatever the file says.
constexpr bool range_fits(uint64_t offset, uint64_t length, uint64_t limit) {
  return offset <= limit && length <= limit - offset;
}

constexpr std::optional<uint64_t> checked_add(uint64_t a, uint64_t b) {
  if (b > UINT64_MAX - a) return std::nullopt;
  return a + b;
}

constexpr std::optional<uint64_t> checked_mul(uint64_t a, uint64_t b) {
  if (a != 0 && b > UINT64_MAX / a) return std::nullopt;
  return a * b;
}

// For sizes that are only compared with a cap afterwards: a product that
// does not fit in 64 bits is larger than any cap.
constexpr uint64_t saturating_mul(uint64_t a, uint64_t b) { return checked_mul(a, b).value_or(UINT64_MAX); }
constexpr uint64_t saturating_add(uint64_t a, uint64_t b) { return checked_add(a, b).value_or(UINT64_MAX); }

}  // namespace tev
