#pragma once

#include <cstdint>
#include <expected>
#include <span>

#include "tev/udif/dmg_error.h"

namespace tev::udif {

// Apple Data Compression, the LZ format of old "UDCO" images. Each token
// starts with a byte: high bit set, a literal run of (b & 0x7F) + 1 bytes;
// 0x40 set, a copy of (b & 0x3F) + 4 bytes from 1 + the next two bytes
// (big-endian) back; otherwise a copy of ((b >> 2) & 0x0F) + 3 bytes from
// 1 + ((b & 3) << 8 | next byte) back. Copies may overlap what they write.
// The run must decode to exactly `out.size()` bytes.
std::expected<void, DmgError> decode_adc(std::span<const uint8_t> in, std::span<uint8_t> out);

}  // namespace tev::udif
