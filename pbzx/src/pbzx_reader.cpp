// The PBZX stream: "pbzx", 8 bytes of flags, then chunks of (uncompressed
// size, compressed size, data), each data an xz stream or, when the two
// sizes are equal, the bytes themselves.
#include "tev/pbzx/pbzx_reader.h"

#include <algorithm>
#include <memory>

#include <fmt/format.h>

#include "tev/common/byte_cursor.h"
#include "tev/common/byte_source.h"
#include "tev/common/memory.h"
#include "tev/common/object_pool.h"
#include "tev/common/worker_pool.h"
#include "tev/common/xz_stream.h"

namespace tev::pbzx {
namespace {

constexpr size_t kHeaderSize = 12;
constexpr size_t kChunkHeaderSize = 16;

struct Chunk {
  std::span<const uint8_t> data;
  uint64_t uncompressed_size;
  uint64_t offset;  // of the data in the stream
  uint64_t out_at;  // of the decoded bytes in the result
};

// The xz decoders of one read: a decoder set up again for every chunk
// reuses its dictionary instead of allocating (and faulting in) a new one.
using DecoderPool = ObjectPool<XzDecoder>;

// Decodes one chunk's xz stream into `out` (exactly the declared size); a
// stream that would yield more is stopped at the first byte too many.
std::expected<void, PbzxError> decode_chunk(const Chunk& c, std::span<uint8_t> out, DecoderPool& decoders) {
  auto r = decoders.take()->decode(c.data, out, true);
  auto failed = [&](std::string_view why) {
    return std::unexpected(
        PbzxError::decompression(fmt::format("Failed to decompress chunk at offset {}: {}", c.offset, why)));
  };
  if (!r) return failed(r.error());
  if (r->more)
    return std::unexpected(PbzxError::invalid_chunk(
        c.offset, fmt::format("Decompressed size mismatch: expected {}, got more than {}", c.uncompressed_size,
                              c.uncompressed_size)));
  if (!r->ended && r->produced == out.size()) return failed("unexpected end of input");
  if (r->produced != c.uncompressed_size)
    return std::unexpected(PbzxError::invalid_chunk(
        c.offset, fmt::format("Decompressed size mismatch: expected {}, got {}", c.uncompressed_size, r->produced)));
  return {};
}

std::expected<std::vector<Chunk>, PbzxError> parse_chunks(std::span<const uint8_t> s) {
  if (s.size() < kHeaderSize) return std::unexpected(PbzxError(IoError::unexpected_eof()));
  if (!std::equal(s.begin(), s.begin() + 4, "pbzx"))
    return std::unexpected(PbzxError::invalid_magic({s[0], s[1], s[2], s[3]}));
  std::vector<Chunk> chunks;
  uint64_t total = 0;
  ByteCursor c(s, kHeaderSize);
  while (c.remaining() >= 8) {
    const size_t header = c.position();
    auto sizes = StructView<kChunkHeaderSize>::of(s, header);
    if (!sizes) return std::unexpected(PbzxError(IoError::unexpected_eof()));
    const uint64_t uncompressed = sizes->be<uint64_t, 0>();
    const uint64_t compressed = sizes->be<uint64_t, 8>();
    (void)c.skip(kChunkHeaderSize);
    if (uncompressed == 0 && compressed == 0) {
      if (c.remaining() != 0)
        return std::unexpected(PbzxError::invalid_chunk(header, "zero-length chunk header followed by more data"));
      break;
    }
    const size_t at = c.position();
    if (compressed > c.remaining()) return std::unexpected(PbzxError(IoError::unexpected_eof()));
    // Declared sizes are untrusted: each chunk, and all of them together,
    // must stay within the caps before anything is reserved.
    if (uncompressed > kMaxChunkSize)
      return std::unexpected(PbzxError::invalid_chunk(
          at, fmt::format("declared size {} is larger than the {} bytes a chunk may hold", uncompressed,
                          kMaxChunkSize)));
    if (uncompressed > kMaxPayloadSize - total)
      return std::unexpected(PbzxError::invalid_chunk(
          at, fmt::format("declared size {} takes the payload past the {} bytes it may hold", uncompressed,
                          kMaxPayloadSize)));
    chunks.push_back({s.subspan(at, static_cast<size_t>(compressed)), uncompressed, at, total});
    total += uncompressed;
    (void)c.skip(static_cast<size_t>(compressed));
  }
  return chunks;
}

}  // namespace

std::expected<Buffer, PbzxError> read_pbzx(std::span<const uint8_t> stream) {
  auto chunks = parse_chunks(stream);
  if (!chunks) return std::unexpected(chunks.error());
  uint64_t total = chunks->empty() ? 0 : chunks->back().out_at + chunks->back().uncompressed_size;
  // Every chunk decodes straight into its place in the result, which is not
  // zeroed first: each chunk fills its slice whole or fails.
  Buffer out;
  try {
    out.resize(static_cast<size_t>(total));
  } catch (const std::bad_alloc&) {
    return std::unexpected(PbzxError(IoError::from_errno(ENOMEM)));
  }
  advise_huge_pages(out);
  DecoderPool decoders;
  auto results = parallel_map<bool, PbzxError>(chunks->size(), [&](size_t i) -> std::expected<bool, PbzxError> {
    const Chunk& c = (*chunks)[i];
    std::span<uint8_t> slice(out.data() + c.out_at, static_cast<size_t>(c.uncompressed_size));
    if (c.data.size() == c.uncompressed_size) {
      std::copy(c.data.begin(), c.data.end(), slice.begin());
      return true;
    }
    if (auto r = decode_chunk(c, slice, decoders); !r) return std::unexpected(r.error());
    return true;
  });
  if (!results) return std::unexpected(results.error());
  return out;
}

std::expected<Buffer, PbzxError> read_pbzx_bytes(std::vector<uint8_t> stream) {
  return read_pbzx(stream);
}

std::expected<Buffer, PbzxError> read_pbzx_file(const std::string& path) {
  auto source = ByteSource::open_file(path);
  if (!source) return std::unexpected(PbzxError(source.error()));
  Buffer bytes(static_cast<size_t>(source->size()));
  if (auto r = source->read_exact_at(0, bytes); !r) return std::unexpected(PbzxError(r.error()));
  return read_pbzx(bytes);
}

}  // namespace tev::pbzx
