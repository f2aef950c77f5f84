#include "adc.h"

#include <fmt/format.h>

#include <cstring>

namespace tev::udif {
namespace {

DmgError adc_error(std::string_view what, size_t at) {
  return DmgError::decompression(fmt::format("ADC: {} at byte {} of the run", what, at));
}

}  // namespace

std::expected<void, DmgError> decode_adc(std::span<const uint8_t> in, std::span<uint8_t> out) {
  size_t i = 0;
  size_t o = 0;
  while (i < in.size()) {
    const uint8_t b = in[i];
    if (b & 0x80) {
      size_t n = (b & 0x7F) + 1u;
      if (n > in.size() - i - 1) return std::unexpected(adc_error("literal past the end of the input", i));
      if (n > out.size() - o) return std::unexpected(adc_error("literal past the end of the output", i));
      std::memcpy(out.data() + o, in.data() + i + 1, n);
      i += 1 + n;
      o += n;
      continue;
    }
    size_t n = 0;
    size_t distance = 0;
    if (b & 0x40) {
      if (in.size() - i < 3) return std::unexpected(adc_error("copy token cut short", i));
      n = (b & 0x3Fu) + 4;
      distance = ((size_t{in[i + 1]} << 8) | in[i + 2]) + 1;
      i += 3;
    } else {
      if (in.size() - i < 2) return std::unexpected(adc_error("copy token cut short", i));
      n = ((b >> 2) & 0x0Fu) + 3;
      distance = (((size_t{b} & 3) << 8) | in[i + 1]) + 1;
      i += 2;
    }
    if (distance > o) return std::unexpected(adc_error("copy from before the start of the output", i));
    if (n > out.size() - o) return std::unexpected(adc_error("copy past the end of the output", i));
    // Byte by byte: a copy may repeat the bytes it is writing.
    for (size_t k = 0; k < n; ++k, ++o) out[o] = out[o - distance];
  }
  if (o != out.size())
    return std::unexpected(DmgError::decompression(fmt::format("ADC decoded {} bytes, expected {}", o, out.size())));
  return {};
}

}  // namespace tev::udif
