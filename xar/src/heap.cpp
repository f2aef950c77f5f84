#include "heap.h"

#include <algorithm>
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

}  // namespace

std::expected<uint64_t, XarError> decode_member(const ByteSource& source, uint64_t heap_start, const FileData& d,
                                                std::string_view path, ByteSink& sink) {
  if (d.offset > UINT64_MAX - heap_start)
    return std::unexpected(XarError::invalid_toc("XAR heap entry offset overflows the archive address space"));
  uint64_t start = heap_start + d.offset;
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
