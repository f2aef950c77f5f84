#include "tev/pbzx/pbzx_writer.h"

#include <algorithm>
#include <vector>

#include <fmt/format.h>

#include "tev/common/xz_stream.h"

namespace tev::pbzx {
namespace {

void put_be64(std::vector<uint8_t>& out, uint64_t v) {
  for (int i = 7; i >= 0; --i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

std::expected<std::vector<uint8_t>, PbzxError> compress(std::span<const uint8_t> piece, uint32_t level) {
  auto out = xz_encode(piece, level);
  if (!out) return std::unexpected(PbzxError::compression(fmt::format("Failed to compress chunk: {}", out.error())));
  return std::move(*out);
}

}  // namespace

std::expected<PbzxStreamWriter, IoError> PbzxStreamWriter::create(const std::string& path, uint64_t chunk_size,
                                                                  uint32_t level) {
  if (chunk_size == 0) return std::unexpected(IoError::other("chunk size must be non-zero"));
  auto sink = FileSink::create(path);
  if (!sink) return std::unexpected(sink.error());
  return PbzxStreamWriter(std::move(*sink), chunk_size, std::min(level, 9u));
}

std::expected<void, PbzxError> PbzxStreamWriter::put(std::span<const uint8_t> bytes) {
  if (auto r = sink_.write(bytes); !r) return std::unexpected(PbzxError(r.error()));
  total_ += bytes.size();
  return {};
}

std::expected<void, PbzxError> PbzxStreamWriter::write_header() {
  if (header_written_) return {};
  std::vector<uint8_t> header = {'p', 'b', 'z', 'x'};
  put_be64(header, kHeaderFlags);
  if (auto r = put(header); !r) return r;
  header_written_ = true;
  return {};
}

std::expected<void, PbzxError> PbzxStreamWriter::write_cpio(std::span<const uint8_t> data) {
  if (auto r = write_header(); !r) return r;
  for (size_t at = 0; at < data.size();) {
    size_t n = static_cast<size_t>(std::min<uint64_t>(chunk_size_, data.size() - at));
    auto piece = data.subspan(at, n);
    auto xz = compress(piece, level_);
    if (!xz) return std::unexpected(xz.error());
    // A reader takes a chunk whose two sizes are equal as stored raw, so a
    // compressed chunk of exactly its own size is stored raw instead.
    std::span<const uint8_t> stored = xz->size() == n ? piece : std::span<const uint8_t>(*xz);
    std::vector<uint8_t> header;
    put_be64(header, n);
    put_be64(header, stored.size());
    if (auto r = put(header); !r) return r;
    if (auto r = put(stored); !r) return r;
    at += n;
  }
  return {};
}

std::expected<void, PbzxError> PbzxStreamWriter::finish() {
  if (auto r = write_header(); !r) return r;
  if (auto r = sink_.finish(); !r) return std::unexpected(PbzxError(r.error()));
  return {};
}

}  // namespace tev::pbzx
