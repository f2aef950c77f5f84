#pragma once

#include <expected>

#include "tev/common/byte_source.h"
#include "tev/xar/xar_error.h"
#include "tev/xar/xar_reader.h"

namespace tev::xar {

inline constexpr uint32_t kXarMagic = 0x78617221;  // "xar!"
inline constexpr uint16_t kFixedHeaderSize = 28;

// The header at offset 0. A header_size below the 28 fixed bytes is refused:
// the TOC could then start at either of two places.
std::expected<XarHeader, XarError> read_header(const ByteSource& source);

}  // namespace tev::xar
