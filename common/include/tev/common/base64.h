#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tev {

// RFC 4648 base64 with the standard alphabet and '=' padding.
std::string base64_encode(std::span<const uint8_t> bytes);

// Strict decoding: the length is a multiple of four, padding appears only at
// the end, every other character is in the alphabet, and the unused low bits
// of the last group are zero. Anything else is nullopt.
std::optional<std::vector<uint8_t>> base64_decode(std::string_view text);

}  // namespace tev
