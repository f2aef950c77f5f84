#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace tev::lzfse {

// Encodes src as one LZVN instruction stream, end-of-stream instruction
// included. Meant for inputs below 4096 bytes; positions are 32-bit.
std::vector<uint8_t> lzvn_encode(std::span<const uint8_t> src);

}  // namespace tev::lzfse
