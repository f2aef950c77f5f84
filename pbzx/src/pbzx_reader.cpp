// The PBZX stream: "pbzx", 8 bytes of flags, then chunks of (uncompressed
// size, compressed size, data), each data an xz stream or, when the two
// sizes are equal, the bytes themselves.
#include "tev/pbzx/pbzx_reader.h"

#include <lzma.h>

#include <algorithm>
#include <memory>

#include <fmt/format.h>

#include "tev/common/byte_cursor.h"
#include "tev/common/byte_source.h"
#include "tev/common/memory.h"
#include "tev/common/worker_pool.h"

namespace tev::pbzx {
namespace {

constexpr size_t kHeaderSize = 12;
constexpr size_t kChunkHeaderSize = 16;
constexpr size_t kInputPiece = 8192;

struct Chunk {
  std::span<const uint8_t> data;
  uint64_t uncompressed_size;
  uint64_t offset;  // of the data in the stream
  uint64_t out_at;  // of the decoded bytes in the result
};

const char* lzma_text(lzma_ret rc) {
  switch (rc) {
    case LZMA_FORMAT_ERROR: return "file format not recognized";
    case LZMA_OPTIONS_ERROR: return "unsupported compression options";
    case LZMA_DATA_ERROR: return "compressed data is corrupt";
    case LZMA_BUF_ERROR: return "unexpected end of input";
    case LZMA_MEM_ERROR: return "cannot allocate memory";
    case LZMA_UNSUPPORTED_CHECK: return "unsupported integrity check";
    default: return "internal error";
  }
}

// Decodes one xz stream into `out` (exactly the declared size). A stream
// that yields more is counted on to the end, so the mismatch names its size.
// One decoder per thread, set up anew for every chunk: liblzma then reuses
// its dictionary instead of allocating (and faulting in) a new one each time.
struct ThreadDecoder {
  lzma_stream stream = LZMA_STREAM_INIT;
  ~ThreadDecoder() { lzma_end(&stream); }
};

std::expected<void, PbzxError> decode_chunk(const Chunk& c, std::span<uint8_t> out) {
  thread_local ThreadDecoder decoder;
  lzma_stream& x = decoder.stream;
  x.next_in = nullptr;
  x.avail_in = 0;
  if (lzma_ret rc = lzma_stream_decoder(&x, UINT64_MAX, 0); rc != LZMA_OK)
    return std::unexpected(PbzxError::decompression(
        fmt::format("Failed to decompress chunk at offset {}: {}", c.offset, lzma_text(rc))));
  uint8_t overflow[65536];
  uint64_t produced = 0;
  size_t in_at = 0;
  for (;;) {
    if (x.avail_in == 0 && in_at < c.data.size()) {
      size_t n = std::min(kInputPiece, c.data.size() - in_at);
      x.next_in = c.data.data() + in_at;
      x.avail_in = n;
      in_at += n;
    }
    bool beyond = produced >= out.size();
    x.next_out = beyond ? overflow : out.data() + produced;
    x.avail_out = beyond ? sizeof overflow : out.size() - produced;
    size_t before = x.avail_out;
    lzma_ret rc = lzma_code(&x, in_at == c.data.size() ? LZMA_FINISH : LZMA_RUN);
    produced += before - x.avail_out;
    if (rc == LZMA_STREAM_END) break;
    if (rc != LZMA_OK)
      return std::unexpected(PbzxError::decompression(
          fmt::format("Failed to decompress chunk at offset {}: {}", c.offset, lzma_text(rc))));
  }
  if (produced != c.uncompressed_size)
    return std::unexpected(PbzxError::invalid_chunk(
        c.offset, fmt::format("Decompressed size mismatch: expected {}, got {}", c.uncompressed_size, produced)));
  return {};
}

std::expected<std::vector<Chunk>, PbzxError> parse_chunks(std::span<const uint8_t> s) {
  if (s.size() < kHeaderSize) return std::unexpected(PbzxError(IoError::unexpected_eof()));
  if (!std::equal(s.begin(), s.begin() + 4, "pbzx"))
    return std::unexpected(PbzxError::invalid_magic({s[0], s[1], s[2], s[3]}));
  std::vector<Chunk> chunks;
  uint64_t total = 0;
  const uint64_t limit = physical_memory();
  size_t at = kHeaderSize;
  while (s.size() - at >= 8) {
    size_t header = at;
    if (s.size() - at < kChunkHeaderSize) return std::unexpected(PbzxError(IoError::unexpected_eof()));
    uint64_t uncompressed = load_be<uint64_t>(s, at);
    uint64_t compressed = load_be<uint64_t>(s, at + 8);
    at += kChunkHeaderSize;
    if (uncompressed == 0 && compressed == 0) {
      if (at != s.size())
        return std::unexpected(PbzxError::invalid_chunk(header, "zero-length chunk header followed by more data"));
      break;
    }
    if (compressed > s.size() - at) return std::unexpected(PbzxError(IoError::unexpected_eof()));
    // Declared sizes are untrusted: all chunks together must fit in memory.
    if (uncompressed > limit - std::min(total, limit))
      return std::unexpected(PbzxError::invalid_chunk(
          at, fmt::format("declared size {} does not fit in memory", uncompressed)));
    chunks.push_back({s.subspan(at, static_cast<size_t>(compressed)), uncompressed, at, total});
    total += uncompressed;
    at += static_cast<size_t>(compressed);
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
  auto results = parallel_map<bool, PbzxError>(chunks->size(), [&](size_t i) -> std::expected<bool, PbzxError> {
    const Chunk& c = (*chunks)[i];
    std::span<uint8_t> slice(out.data() + c.out_at, static_cast<size_t>(c.uncompressed_size));
    if (c.data.size() == c.uncompressed_size) {
      std::copy(c.data.begin(), c.data.end(), slice.begin());
      return true;
    }
    if (auto r = decode_chunk(c, slice); !r) return std::unexpected(r.error());
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
