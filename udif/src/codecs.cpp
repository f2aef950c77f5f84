// Chunk codecs: every run decodes to exactly its sector range, independently
// of every other run, so runs can be decoded in parallel.
#include "tev/udif/codecs.h"

#include <bzlib.h>
#include <libdeflate.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include <fmt/format.h>

#include "tev/common/xz_stream.h"
#include "tev/lzfse/lzfse.h"
#include "tev/udif/extract.h"
#include "tev/udif/image.h"

#include "adc.h"

namespace tev::udif {
namespace {

constexpr size_t kZlibInputPiece = 32768;
constexpr size_t kBzip2InputPiece = 8192;

DmgError short_output(std::string_view codec, size_t produced, size_t expected) {
  return DmgError::decompression(fmt::format("{} decoded {} bytes, expected {}", codec, produced, expected));
}

std::string with_detail(std::string_view what, const char* detail) {
  std::string text(what);
  if (detail != nullptr && *detail != '\0') text += std::string(": ") + detail;
  return text;
}

// Damaged stored bytes are a decoding failure, not a failure to read them.
DmgError corrupt(std::string_view what, const char* detail) {
  return DmgError::decompression(with_detail(what, detail));
}

DmgError codec_io(std::string_view what, const char* detail) {
  return DmgError::io(IoError::other(with_detail(what, detail)));
}

// Streams the stored bytes through zlib in 32 KiB pieces, asking only for
// what remains of the output; a longer stream is simply not read further.
std::expected<void, DmgError> inflate_streaming(std::span<const uint8_t> stored, std::span<uint8_t> out) {
  z_stream z{};
  if (inflateInit(&z) != Z_OK) return std::unexpected(codec_io("zlib decoder failed", z.msg));
  std::unique_ptr<z_stream, decltype(&inflateEnd)> guard(&z, &inflateEnd);
  size_t in_at = 0, produced = 0;
  while (produced < out.size()) {
    if (z.avail_in == 0 && in_at < stored.size()) {
      size_t n = std::min(kZlibInputPiece, stored.size() - in_at);
      z.next_in = const_cast<Bytef*>(stored.data() + in_at);
      z.avail_in = static_cast<uInt>(n);
      in_at += n;
    }
    size_t want = std::min<size_t>(out.size() - produced, UINT32_MAX);
    z.next_out = out.data() + produced;
    z.avail_out = static_cast<uInt>(want);
    int rc = inflate(&z, Z_NO_FLUSH);
    size_t got = want - z.avail_out;
    produced += got;
    if (rc == Z_STREAM_END) break;
    if (rc == Z_BUF_ERROR && z.avail_in == 0 && in_at == stored.size()) break;  // input ran out
    if (rc != Z_OK && rc != Z_BUF_ERROR) return std::unexpected(corrupt("corrupt deflate stream", z.msg));
  }
  if (produced < out.size()) return std::unexpected(short_output("zlib", produced, out.size()));
  return {};
}

// One-shot inflate where it gives the same result; anything unusual (a
// longer stream, a bad checksum past the needed bytes, corrupt data) is
// decided by the streaming decoder, whose results are the reference.
std::expected<void, DmgError> decode_zlib(std::span<const uint8_t> stored, std::span<uint8_t> out) {
  thread_local std::unique_ptr<libdeflate_decompressor, decltype(&libdeflate_free_decompressor)> d(
      libdeflate_alloc_decompressor(), &libdeflate_free_decompressor);
  if (d) {
    size_t in_used = 0, produced = 0;
    auto rc = libdeflate_zlib_decompress_ex(d.get(), stored.data(), stored.size(), out.data(), out.size(),
                                            &in_used, &produced);
    if (rc == LIBDEFLATE_SUCCESS) {
      if (produced < out.size()) return std::unexpected(short_output("zlib", produced, out.size()));
      return {};
    }
    std::fill(out.begin(), out.end(), 0);
  }
  return inflate_streaming(stored, out);
}

std::expected<void, DmgError> decode_bzip2(std::span<const uint8_t> stored, std::span<uint8_t> out) {
  bz_stream b{};
  if (BZ2_bzDecompressInit(&b, 0, 0) != BZ_OK) return std::unexpected(codec_io("bzip2 decoder failed", nullptr));
  std::unique_ptr<bz_stream, decltype(&BZ2_bzDecompressEnd)> guard(&b, &BZ2_bzDecompressEnd);
  size_t in_at = 0, produced = 0;
  while (produced < out.size()) {
    if (b.avail_in == 0 && in_at < stored.size()) {
      size_t n = std::min(kBzip2InputPiece, stored.size() - in_at);
      b.next_in = const_cast<char*>(reinterpret_cast<const char*>(stored.data() + in_at));
      b.avail_in = static_cast<unsigned>(n);
      in_at += n;
    }
    size_t want = std::min<size_t>(out.size() - produced, UINT32_MAX);
    b.next_out = reinterpret_cast<char*>(out.data() + produced);
    b.avail_out = static_cast<unsigned>(want);
    unsigned int in_before = b.avail_in;
    int rc = BZ2_bzDecompress(&b);
    size_t got = want - b.avail_out;
    produced += got;
    if (rc == BZ_STREAM_END) break;
    if (rc != BZ_OK) return std::unexpected(corrupt("corrupt bzip2 stream", nullptr));
    if (got == 0 && b.avail_in == in_before && in_at == stored.size()) break;  // input ran out
  }
  if (produced < out.size()) return std::unexpected(short_output("bzip2", produced, out.size()));
  return {};
}

std::expected<void, DmgError> decode_xz(std::span<const uint8_t> stored, std::span<uint8_t> out) {
  XzDecoder decoder;
  auto r = decoder.decode(stored, out, false);
  if (!r) return std::unexpected(corrupt("corrupt xz stream", r.error().c_str()));
  if (r->produced < out.size()) return std::unexpected(short_output("xz", r->produced, out.size()));
  return {};
}

// LZFSE decodes in one call. The output is sized exactly; a stream that wants
// more is measured again in a buffer twice the expected size, which tells
// "too much" from "a few bytes off" the way a one-shot decode does.
std::expected<void, DmgError> decode_lzfse(std::span<const uint8_t> stored, std::span<uint8_t> out) {
  auto r = lzfse::decode(stored, out);
  size_t produced = r.status == lzfse::DecodeStatus::Invalid ? 0 : r.written;
  if (r.status == lzfse::DecodeStatus::OutputFull) {
    std::vector<uint8_t> scratch(std::max<size_t>(2 * out.size(), 1));
    produced = lzfse::decode_buffer(scratch, stored);
    if (produced == scratch.size()) return std::unexpected(DmgError::decompression("LZFSE: BufferTooSmall"));
  }
  if (produced != out.size())
    return std::unexpected(
        DmgError::decompression(fmt::format("lzfse decoded {} bytes, expected {}", produced, out.size())));
  return {};
}

std::expected<std::vector<uint8_t>, DmgError> encode_zlib(uint32_t level, std::span<const uint8_t> in) {
  uLongf bound = compressBound(static_cast<uLong>(in.size()));
  std::vector<uint8_t> out(bound);
  int rc = compress2(out.data(), &bound, in.data(), static_cast<uLong>(in.size()), static_cast<int>(level));
  if (rc != Z_OK) return std::unexpected(codec_io("zlib encoder failed", zError(rc)));
  out.resize(bound);
  return out;
}

std::expected<std::vector<uint8_t>, DmgError> encode_bzip2(uint32_t level, std::span<const uint8_t> in) {
  if (level < 1 || level > 9)
    return std::unexpected(DmgError::compression(fmt::format("bzip2 needs a level from 1 to 9, not {}", level)));
  unsigned int size = static_cast<unsigned int>(in.size() + in.size() / 100 + 600);
  std::vector<uint8_t> out(size);
  int rc = BZ2_bzBuffToBuffCompress(reinterpret_cast<char*>(out.data()), &size,
                                    const_cast<char*>(reinterpret_cast<const char*>(in.data())),
                                    static_cast<unsigned int>(in.size()), static_cast<int>(level), 0, 0);
  if (rc != BZ_OK) return std::unexpected(codec_io("bzip2 encoder failed", nullptr));
  out.resize(size);
  return out;
}

std::expected<std::vector<uint8_t>, DmgError> encode_lzfse(std::span<const uint8_t> in) {
  std::vector<uint8_t> out(in.size() + 4096);
  size_t n = lzfse::encode_buffer(out, in);
  if (n == 0) return std::unexpected(DmgError::compression("LZFSE: CompressFailed"));
  out.resize(n);
  return out;
}

}  // namespace

std::optional<CompressionKind> parse_compression(std::string_view name) {
  if (name == "raw") return CompressionKind::Raw;
  if (name == "zlib") return CompressionKind::Zlib;
  if (name == "bzip2") return CompressionKind::Bzip2;
  if (name == "lzfse") return CompressionKind::Lzfse;
  return std::nullopt;
}

std::string_view compression_name(CompressionKind kind) {
  switch (kind) {
    case CompressionKind::Raw: return "raw";
    case CompressionKind::Zlib: return "zlib";
    case CompressionKind::Bzip2: return "bzip2";
    case CompressionKind::Lzfse: return "lzfse";
  }
  return "zlib";
}

uint32_t run_type_of(CompressionKind kind) {
  switch (kind) {
    case CompressionKind::Raw: return run_type::kRaw;
    case CompressionKind::Zlib: return run_type::kZlib;
    case CompressionKind::Bzip2: return run_type::kBzip2;
    case CompressionKind::Lzfse: return run_type::kLzfse;
  }
  return run_type::kZlib;
}

std::expected<void, DmgError> decode_run(uint32_t type, std::span<const uint8_t> stored, std::span<uint8_t> output) {
  switch (type) {
    case run_type::kZlib: return decode_zlib(stored, output);
    case run_type::kBzip2: return decode_bzip2(stored, output);
    case run_type::kXz: return decode_xz(stored, output);
    case run_type::kLzfse: return decode_lzfse(stored, output);
    case run_type::kRaw:
    case run_type::kIgnore: {
      size_t n = std::min(stored.size(), output.size());
      if (n > 0) std::memcpy(output.data(), stored.data(), n);
      return {};
    }
    case run_type::kAdc: return decode_adc(stored, output);
    default: return {};  // zero fill, comment, terminator: nothing to write
  }
}

std::expected<std::vector<uint8_t>, DmgError> encode_chunk(CompressionKind kind, uint32_t level,
                                                           std::span<const uint8_t> input) {
  // Also what keeps every size within the codecs' 32-bit counts.
  if (input.size() > kMaxChunkSize)
    return std::unexpected(DmgError::compression(
        fmt::format("a chunk of {} bytes is larger than the {} bytes a chunk may hold", input.size(), kMaxChunkSize)));
  switch (kind) {
    case CompressionKind::Raw: return std::vector<uint8_t>(input.begin(), input.end());
    case CompressionKind::Zlib: return encode_zlib(level, input);
    case CompressionKind::Bzip2: return encode_bzip2(level, input);
    case CompressionKind::Lzfse: return encode_lzfse(input);
  }
  return std::unexpected(DmgError::compression("unknown compression"));
}

}  // namespace tev::udif
