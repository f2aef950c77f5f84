#include "header.h"

#include <algorithm>
#include <array>

#include <fmt/format.h>

#include "tev/common/byte_cursor.h"

namespace tev::xar {

std::expected<XarHeader, XarError> read_header(const ByteSource& source) {
  std::array<uint8_t, kFixedHeaderSize> raw{};
  size_t have = static_cast<size_t>(std::min<uint64_t>(source.size(), raw.size()));
  std::span<uint8_t> bytes = std::span(raw).first(have);
  if (auto r = source.read_exact_at(0, bytes); !r) return std::unexpected(XarError(r.error()));
  ByteCursor cursor(bytes);
  auto short_read = [] { return XarError(IoError::unexpected_eof()); };
  auto magic = cursor.u32be();
  if (!magic) return std::unexpected(short_read());
  if (*magic != kXarMagic) return std::unexpected(XarError::invalid_magic(*magic));
  XarHeader h;
  auto size = cursor.u16be();
  auto version = cursor.u16be();
  auto toc_compressed = cursor.u64be();
  auto toc_uncompressed = cursor.u64be();
  auto algorithm = cursor.u32be();
  if (!size || !version || !toc_compressed || !toc_uncompressed || !algorithm) return std::unexpected(short_read());
  h.header_size = *size;
  h.version = *version;
  h.toc_length_compressed = *toc_compressed;
  h.toc_length_uncompressed = *toc_uncompressed;
  h.checksum_algorithm = *algorithm;
  if (h.header_size < kFixedHeaderSize)
    return std::unexpected(XarError::invalid_toc(
        fmt::format("header size {} is smaller than the {} bytes of the fixed header", h.header_size,
                    kFixedHeaderSize)));
  if (source.size() < h.header_size) return std::unexpected(short_read());
  return h;
}

}  // namespace tev::xar
