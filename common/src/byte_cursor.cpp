#include "tev/common/byte_cursor.h"

namespace tev {

std::expected<void, OutOfBounds> ByteCursor::seek(size_t position) {
  if (position > bytes_.size()) return std::unexpected(OutOfBounds{});
  pos_ = position;
  return {};
}

std::expected<void, OutOfBounds> ByteCursor::skip(size_t count) {
  if (count > remaining()) return std::unexpected(OutOfBounds{});
  pos_ += count;
  return {};
}

std::expected<std::span<const uint8_t>, OutOfBounds> ByteCursor::bytes(size_t count) {
  if (count > remaining()) return std::unexpected(OutOfBounds{});
  auto out = bytes_.subspan(pos_, count);
  pos_ += count;
  return out;
}

}  // namespace tev
