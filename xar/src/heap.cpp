#include "heap.h"

#include <libdeflate.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <optional>

#include <fmt/format.h>

#include "codecs.h"
#include "digest.h"
#include "tev/common/buffer.h"
#include "tev/common/text.h"

namespace tev::xar {
namespace {

constexpr size_t kPiece = 256 * 1024;

// The stored bytes of one member, read piece by piece (or seen in place
// when the archive is held in memory).
class StoredBytes {
 public:
  StoredBytes(const ByteSource& source, uint64_t start, uint64_t length)
      : source_(source), memory_(source.memory()), start_(start), length_(length) {}

  uint64_t remaining() const { return length_ - done_; }

  std::expected<std::span<const uint8_t>, XarError> next() {
    size_t n = static_cast<size_t>(std::min<uint64_t>(kPiece, remaining()));
    uint64_t at = start_ + done_;
    done_ += n;
    if (memory_) return memory_->subspan(static_cast<size_t>(at), n);
    buffer_.resize(n);
    if (auto r = source_.read_exact_at(at, buffer_); !r) return std::unexpected(XarError(r.error()));
    return std::span<const uint8_t>(buffer_);
  }

 private:
  const ByteSource& source_;
  std::optional<std::span<const uint8_t>> memory_;
  uint64_t start_, length_, done_ = 0;
  Buffer buffer_;
};

// A checksum the TOC gives, and the digest that checks it.
struct Check {
  const Checksum* expected;
  std::optional<Digest> digest;
  const char* element;

  Check(const std::optional<Checksum>& sum, const char* name)
      : expected(sum ? &*sum : nullptr), element(name) {
    if (expected) digest = Digest::for_style(expected->style);
  }
  void update(std::span<const uint8_t> bytes) {
    if (digest) digest->update(bytes);
  }
  std::expected<void, XarError> verify(std::string_view path) {
    if (!digest) return {};
    auto actual = digest->finish();
    if (hex_equals(expected->value, actual)) return {};
    return std::unexpected(
        XarError::checksum_mismatch(fmt::format("{} {} of {}", expected->style, element, quoted_form(path))));
  }
};

struct Output {
  ByteSink& sink;
  Check& extracted;
  std::expected<void, XarError> write(std::span<const uint8_t> bytes) {
    extracted.update(bytes);
    if (auto r = sink.write(bytes); !r) return std::unexpected(XarError(r.error()));
    return {};
  }
};

std::expected<uint64_t, XarError> copy_stored(StoredBytes& in, uint64_t available, const FileData& d, Check& archived,
                                              Output& out) {
  if (d.length != d.size)
    return std::unexpected(XarError::invalid_toc(fmt::format(
        "XAR raw entry declares compressed length {} but uncompressed size {}", d.length, d.size)));
  while (in.remaining() > 0) {
    auto piece = in.next();
    if (!piece) return std::unexpected(piece.error());
    archived.update(*piece);
    if (auto r = out.write(*piece); !r) return std::unexpected(r.error());
  }
  if (available < d.length)
    return std::unexpected(
        XarError::invalid_toc(fmt::format("XAR raw entry ended after {} bytes, expected {}", available, d.length)));
  return d.length;
}

std::expected<uint64_t, XarError> decode_stream(StoredBytes& in, const FileData& d, CodecChoice& codec,
                                                Check& archived, Output& out) {
  auto fail = [&](std::string text) { return std::unexpected(XarError::decompression_failed(std::move(text))); };
  Buffer work(kPiece);
  std::span<const uint8_t> pending;
  uint64_t produced = 0;
  bool finished = false;
  while (!finished) {
    if (pending.empty() && in.remaining() > 0) {
      auto piece = in.next();
      if (!piece) return std::unexpected(piece.error());
      archived.update(*piece);
      pending = *piece;
    }
    auto step = codec.decoder->step(pending, work);
    if (!step) return fail(fmt::format("{}: {}", codec.label, step.error()));
    pending = pending.subspan(step->consumed);
    if (step->produced > d.size - produced)
      return fail(fmt::format("{} decoded more than the expected {} bytes", codec.label, d.size));
    if (auto r = out.write(std::span<const uint8_t>(work).first(step->produced)); !r) return std::unexpected(r.error());
    produced += step->produced;
    finished = step->finished;
    if (!finished && step->consumed == 0 && step->produced == 0 && pending.empty() && in.remaining() == 0) break;
  }
  if (produced != d.size) return fail(fmt::format("{} decoded {} bytes, expected {}", codec.label, produced, d.size));
  if (!finished) return fail(fmt::format("{}: stream ends before its end marker", codec.label));
  // Bytes after the end of the stream still count for the archived checksum.
  while (in.remaining() > 0) {
    auto piece = in.next();
    if (!piece) return std::unexpected(piece.error());
    archived.update(*piece);
  }
  return produced;
}

// Writes into a caller's buffer of the declared size; more is an error the
// decoder reports first, since the size was checked against the TOC.
class SpanSink final : public ByteSink {
 public:
  explicit SpanSink(std::span<uint8_t> out) : out_(out) {}
  std::expected<void, IoError> write(std::span<const uint8_t> bytes) override {
    if (bytes.size() > out_.size() - used_) return std::unexpected(IoError::other("member larger than declared"));
    if (!bytes.empty()) std::memcpy(out_.data() + used_, bytes.data(), bytes.size());
    used_ += bytes.size();
    return {};
  }

 private:
  std::span<uint8_t> out_;
  size_t used_ = 0;
};

bool is_deflate(std::string_view encoding) {
  return encoding == "application/zlib" || encoding == "application/x-zlib" || encoding == "application/x-gzip";
}

std::expected<uint64_t, XarError> start_of(uint64_t heap_start, const FileData& d) {
  if (d.offset > UINT64_MAX - heap_start)
    return std::unexpected(XarError::invalid_toc("XAR heap entry offset overflows the archive address space"));
  return heap_start + d.offset;
}

// A deflate member in one libdeflate call, framed by its own header.
std::expected<void, XarError> inflate_into(std::span<const uint8_t> in, const FileData& d, std::string_view label,
                                           std::span<uint8_t> out) {
  std::unique_ptr<libdeflate_decompressor, decltype(&libdeflate_free_decompressor)> dec(
      libdeflate_alloc_decompressor(), &libdeflate_free_decompressor);
  if (!dec) return std::unexpected(XarError::decompression_failed(fmt::format("{}: cannot set up the decoder", label)));
  bool gzip = in.size() >= 2 && in[0] == 0x1f && in[1] == 0x8b;
  size_t used_in = 0, produced = 0;
  auto rc = gzip ? libdeflate_gzip_decompress_ex(dec.get(), in.data(), in.size(), out.data(), out.size(), &used_in,
                                                 &produced)
                 : libdeflate_zlib_decompress_ex(dec.get(), in.data(), in.size(), out.data(), out.size(), &used_in,
                                                 &produced);
  switch (rc) {
    case LIBDEFLATE_SUCCESS:
      if (produced != d.size)
        return std::unexpected(
            XarError::decompression_failed(fmt::format("{} decoded {} bytes, expected {}", label, produced, d.size)));
      return {};
    case LIBDEFLATE_INSUFFICIENT_SPACE:
      return std::unexpected(
          XarError::decompression_failed(fmt::format("{} decoded more than the expected {} bytes", label, d.size)));
    default:
      return std::unexpected(XarError::decompression_failed(fmt::format("{}: corrupt {} stream", label, gzip ? "gzip" : "zlib")));
  }
}

}  // namespace

bool size_is_provable(const FileData& d) {
  if (d.encoding == "application/octet-stream") return true;
  return is_deflate(d.encoding) && d.length <= (UINT64_MAX - 64) / kMaxDeflateRatio &&
         d.size <= d.length * kMaxDeflateRatio + 64;
}

std::expected<void, XarError> decode_member_into(const ByteSource& source, uint64_t heap_start, const FileData& d,
                                                 std::string_view path, std::span<uint8_t> out) {
  if (!size_is_provable(d) || out.size() != d.size) {
    SpanSink sink(out);
    auto n = decode_member(source, heap_start, d, path, sink);
    if (!n) return std::unexpected(n.error());
    if (*n != out.size()) return std::unexpected(XarError::invalid_toc("member shorter than declared"));
    return {};
  }
  auto start = start_of(heap_start, d);
  if (!start) return std::unexpected(start.error());
  if (d.encoding == "application/octet-stream") {
    SpanSink sink(out);
    auto n = decode_member(source, heap_start, d, path, sink);
    if (!n) return std::unexpected(n.error());
    return {};
  }
  uint64_t size = source.size();
  if (*start > size || d.length > size - *start)
    return std::unexpected(XarError::invalid_toc(
        fmt::format("XAR heap entry {} extends past the end of the archive", quoted_form(path))));
  std::span<const uint8_t> stored;
  Buffer copy;
  if (auto memory = source.memory()) {
    stored = memory->subspan(static_cast<size_t>(*start), static_cast<size_t>(d.length));
  } else {
    copy.resize(static_cast<size_t>(d.length));
    if (auto r = source.read_direct_at(*start, copy); !r) return std::unexpected(XarError(r.error()));
    stored = copy;
  }
  Check archived(d.archived_checksum, "archived-checksum");
  Check extracted(d.extracted_checksum, "extracted-checksum");
  archived.update(stored);
  if (auto r = inflate_into(stored, d, codec_for(d.encoding)->label, out); !r) return r;
  extracted.update(out);
  if (auto r = archived.verify(path); !r) return std::unexpected(r.error());
  return extracted.verify(path);
}

std::expected<uint64_t, XarError> decode_member(const ByteSource& source, uint64_t heap_start, const FileData& d,
                                                std::string_view path, ByteSink& sink) {
  auto at = start_of(heap_start, d);
  if (!at) return std::unexpected(at.error());
  uint64_t start = *at;
  auto codec = codec_for(d.encoding);
  if (!codec) return std::unexpected(codec.error());
  uint64_t size = source.size();
  uint64_t available = start < size ? std::min(d.length, size - start) : 0;
  if (codec->decoder && available < d.length)
    return std::unexpected(XarError::invalid_toc(
        fmt::format("XAR heap entry {} extends past the end of the archive", quoted_form(path))));
  StoredBytes in(source, start, available);
  Check archived(d.archived_checksum, "archived-checksum");
  Check extracted(d.extracted_checksum, "extracted-checksum");
  Output out{sink, extracted};
  auto n = codec->decoder ? decode_stream(in, d, *codec, archived, out) : copy_stored(in, available, d, archived, out);
  if (!n) return n;
  if (auto r = archived.verify(path); !r) return std::unexpected(r.error());
  if (auto r = extracted.verify(path); !r) return std::unexpected(r.error());
  return n;
}

}  // namespace tev::xar
