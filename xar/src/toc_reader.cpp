#include "toc_reader.h"

#include <libdeflate.h>

#include <algorithm>
#include <memory>

#include <fmt/format.h>

#include "codecs.h"
#include "tev/common/buffer.h"
#include "digest.h"
#include "toc_parser.h"

namespace tev::xar {
namespace {

// Inflates the compressed TOC in one call into a buffer of the declared
// length plus one byte, so that a stream longer than declared is seen
// without decoding all of it. The buffer is never larger than the stored
// bytes can expand to, whatever the header claims.
std::expected<Buffer, XarError> inflate_toc(std::span<const uint8_t> compressed, uint64_t declared) {
  uint64_t room = std::min<uint64_t>(declared + 1, compressed.size() * kMaxDeflateRatio + 64);
  Buffer text(static_cast<size_t>(room));  // not zeroed: the decoder fills it
  std::unique_ptr<libdeflate_decompressor, decltype(&libdeflate_free_decompressor)> d(
      libdeflate_alloc_decompressor(), &libdeflate_free_decompressor);
  if (!d) return std::unexpected(XarError::decompression_failed("TOC zlib: cannot set up the decoder"));
  size_t used_in = 0, produced = 0;
  auto rc = libdeflate_zlib_decompress_ex(d.get(), compressed.data(), compressed.size(), text.data(), text.size(),
                                          &used_in, &produced);
  switch (rc) {
    case LIBDEFLATE_SUCCESS: text.resize(produced); return text;
    case LIBDEFLATE_INSUFFICIENT_SPACE: return text;  // more than declared: reported by the length check
    case LIBDEFLATE_BAD_DATA: return std::unexpected(XarError::decompression_failed("TOC zlib: corrupt zlib stream"));
    default: return std::unexpected(XarError::decompression_failed("TOC zlib: cannot decode the stream"));
  }
}

std::expected<void, XarError> verify_toc_checksum(const ByteSource& source, const TocChecksum& sum,
                                                  uint64_t heap_start, std::span<const uint8_t> compressed) {
  auto digest = Digest::for_style(sum.style);
  if (!digest) return {};  // a style this reader does not know is not checked
  uint64_t size = source.size();  // heap_start <= size: the TOC extent was checked
  if (sum.offset > size - heap_start || sum.size > size - heap_start - sum.offset)
    return std::unexpected(XarError::invalid_toc("the TOC checksum lies outside the archive"));
  auto stored = source.read_vec_at(heap_start + sum.offset, sum.size);
  if (!stored) return std::unexpected(XarError(stored.error()));
  digest->update(compressed);
  if (digest->finish() != *stored)
    return std::unexpected(XarError::checksum_mismatch(sum.style + " TOC checksum"));
  return {};
}

}  // namespace

std::expected<TocAndHeap, XarError> read_toc(const ByteSource& source, const XarHeader& h) {
  if (h.toc_length_uncompressed == UINT64_MAX)
    return std::unexpected(XarError::invalid_toc("declared uncompressed TOC length is too large"));
  if (h.toc_length_uncompressed > kMaxTocSize)
    return std::unexpected(XarError::invalid_toc(fmt::format(
        "declared uncompressed TOC length {} exceeds the limit of {} bytes", h.toc_length_uncompressed, kMaxTocSize)));
  uint64_t size = source.size();
  if (h.header_size > size || h.toc_length_compressed > size - h.header_size)
    return std::unexpected(XarError::invalid_toc("archive ended before the declared compressed TOC extent"));
  uint64_t heap_start = h.header_size + h.toc_length_compressed;
  auto compressed = source.read_vec_at(h.header_size, h.toc_length_compressed);
  if (!compressed) return std::unexpected(XarError(compressed.error()));
  auto text = inflate_toc(*compressed, h.toc_length_uncompressed);
  if (!text) return std::unexpected(text.error());
  if (text->size() != h.toc_length_uncompressed)
    return std::unexpected(XarError::invalid_toc(fmt::format(
        "declared uncompressed TOC length {} does not match decoded length {}", h.toc_length_uncompressed,
        text->size())));
  auto toc = parse_toc_xml(*text);
  if (!toc) return std::unexpected(toc.error());
  if (toc->checksum) {
    if (auto r = verify_toc_checksum(source, *toc->checksum, heap_start, *compressed); !r)
      return std::unexpected(r.error());
  }
  return TocAndHeap{std::move(*toc), heap_start};
}

}  // namespace tev::xar
