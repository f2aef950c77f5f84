// Little-endian loads for the codec's inner loops, where every call site has
// just checked that the bytes are there, once per token or block.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "tev/common/byte_cursor.h"

namespace tev::lzfse {

template <class T>
T load_le(std::span<const uint8_t> bytes, size_t offset) {
  return tev::detail::load<T, false>(bytes.data() + offset);
}

}  // namespace tev::lzfse
