#include "toc_reader.h"

#include <algorithm>

#include <fmt/format.h>

#include "codecs.h"
#include "digest.h"
#include "toc_parser.h"

namespace tev::xar {
namespace {

// Inflates the compressed TOC, stopping one byte past the declared length
// so that a stream longer than declared is seen without decoding all of it.
std::expected<std::vector<uint8_t>, XarError> inflate_toc(std::span<const uint8_t> compressed, uint64_t declared) {
  uint64_t limit = declared + 1;
  // Memory grows with what the stream really yields, never from the header.
  std::vector<uint8_t> text;
  text.reserve(static_cast<size_t>(std::min<uint64_t>(limit, compressed.size() * 4 + 4096)));
  auto decoder = make_deflate_decoder();
  std::vector<uint8_t> work(64 * 1024);
  bool finished = false;
  while (!finished && text.size() < limit) {
    size_t room = static_cast<size_t>(std::min<uint64_t>(work.size(), limit - text.size()));
    auto step = decoder->step(compressed, std::span(work).first(room));
    if (!step) return std::unexpected(XarError::decompression_failed("TOC zlib: " + step.error()));
    compressed = compressed.subspan(step->consumed);
    text.insert(text.end(), work.begin(), work.begin() + static_cast<ptrdiff_t>(step->produced));
    finished = step->finished;
    if (!finished && step->consumed == 0 && step->produced == 0)
      return std::unexpected(XarError::decompression_failed("TOC zlib: unexpected end of stream"));
  }
  return text;
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
