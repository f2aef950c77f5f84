// The heap's stream codecs: deflate (zlib or gzip framing), bzip2, xz and
// lzma-alone, each behind one small step function.
#include "codecs.h"

#include <bzlib.h>
#include <lzma.h>
#include <zlib.h>

#include <climits>

#include "tev/common/xz_stream.h"

namespace tev::xar {
namespace {

// Liblzma may use this much memory for one member's dictionary; a header
// asking for more is damage, not an archive.
constexpr uint64_t kMaxCodecMemory = uint64_t{1} << 30;

unsigned int clamp_uint(size_t n) { return n > UINT_MAX ? UINT_MAX : static_cast<unsigned int>(n); }

class DeflateDecoder final : public StreamDecoder {
 public:
  DeflateDecoder() {
    // 15 + 32: a window of 32 KiB and the framing read from the header.
    ok_ = inflateInit2(&z_, 15 + 32) == Z_OK;
  }
  ~DeflateDecoder() override { inflateEnd(&z_); }

  std::expected<DecodeStep, std::string> step(std::span<const uint8_t> in, std::span<uint8_t> out) override {
    if (!ok_) return std::unexpected("cannot set up the decoder");
    z_.next_in = const_cast<Bytef*>(in.data());
    z_.avail_in = clamp_uint(in.size());
    z_.next_out = out.data();
    z_.avail_out = clamp_uint(out.size());
    unsigned int in_before = z_.avail_in, out_before = z_.avail_out;
    int rc = inflate(&z_, Z_NO_FLUSH);
    DecodeStep s{in_before - z_.avail_in, out_before - z_.avail_out, rc == Z_STREAM_END};
    if (rc == Z_OK || rc == Z_STREAM_END || rc == Z_BUF_ERROR) return s;
    return std::unexpected(z_.msg != nullptr ? std::string(z_.msg) : "corrupt deflate stream");
  }

 private:
  z_stream z_{};
  bool ok_ = false;
};

class Bzip2Decoder final : public StreamDecoder {
 public:
  Bzip2Decoder() { ok_ = BZ2_bzDecompressInit(&b_, 0, 0) == BZ_OK; }
  ~Bzip2Decoder() override {
    if (ok_) BZ2_bzDecompressEnd(&b_);
  }

  std::expected<DecodeStep, std::string> step(std::span<const uint8_t> in, std::span<uint8_t> out) override {
    if (!ok_) return std::unexpected("cannot set up the decoder");
    if (ended_) return DecodeStep{0, 0, true};
    b_.next_in = const_cast<char*>(reinterpret_cast<const char*>(in.data()));
    b_.avail_in = clamp_uint(in.size());
    b_.next_out = reinterpret_cast<char*>(out.data());
    b_.avail_out = clamp_uint(out.size());
    unsigned int in_before = b_.avail_in, out_before = b_.avail_out;
    int rc = BZ2_bzDecompress(&b_);
    DecodeStep s{in_before - b_.avail_in, out_before - b_.avail_out, rc == BZ_STREAM_END};
    ended_ = s.finished;
    if (rc == BZ_OK || rc == BZ_STREAM_END) return s;
    switch (rc) {
      case BZ_DATA_ERROR: return std::unexpected("data integrity error in the compressed stream");
      case BZ_DATA_ERROR_MAGIC: return std::unexpected("stream does not begin with the bzip2 magic");
      case BZ_MEM_ERROR: return std::unexpected("out of memory");
      default: return std::unexpected("corrupt bzip2 stream");
    }
  }

 private:
  bz_stream b_{};
  bool ok_ = false;
  bool ended_ = false;
};


class LzmaDecoder final : public StreamDecoder {
 public:
  explicit LzmaDecoder(bool alone) {
    init_ = alone ? lzma_alone_decoder(&x_, kMaxCodecMemory) : lzma_stream_decoder(&x_, kMaxCodecMemory, 0);
  }
  ~LzmaDecoder() override { lzma_end(&x_); }

  std::expected<DecodeStep, std::string> step(std::span<const uint8_t> in, std::span<uint8_t> out) override {
    if (init_ != LZMA_OK) return std::unexpected(xz_message(init_));
    x_.next_in = in.data();
    x_.avail_in = in.size();
    x_.next_out = out.data();
    x_.avail_out = out.size();
    size_t in_before = x_.avail_in, out_before = x_.avail_out;
    lzma_ret rc = lzma_code(&x_, LZMA_RUN);
    DecodeStep s{in_before - x_.avail_in, out_before - x_.avail_out, rc == LZMA_STREAM_END};
    if (rc == LZMA_OK || rc == LZMA_STREAM_END || (rc == LZMA_BUF_ERROR && in.empty())) return s;
    return std::unexpected(xz_message(rc));
  }

 private:
  lzma_stream x_ = LZMA_STREAM_INIT;
  lzma_ret init_;
};

struct Encoding {
  std::string_view name;
  std::string_view label;
  std::unique_ptr<StreamDecoder> (*make)();
};

const Encoding kEncodings[] = {
    {"application/zlib", "zlib", &make_deflate_decoder},
    {"application/x-zlib", "zlib", &make_deflate_decoder},
    {"application/x-gzip", "gzip", &make_deflate_decoder},
    {"application/x-bzip2", "bzip2", []() -> std::unique_ptr<StreamDecoder> { return std::make_unique<Bzip2Decoder>(); }},
    {"application/x-xz", "xz", []() -> std::unique_ptr<StreamDecoder> { return std::make_unique<LzmaDecoder>(false); }},
    {"application/x-lzma", "lzma", []() -> std::unique_ptr<StreamDecoder> { return std::make_unique<LzmaDecoder>(true); }},
};

}  // namespace

std::unique_ptr<StreamDecoder> make_deflate_decoder() { return std::make_unique<DeflateDecoder>(); }

std::expected<CodecChoice, XarError> codec_for(std::string_view encoding) {
  if (encoding == "application/octet-stream") return CodecChoice{nullptr, {}};
  for (const auto& e : kEncodings)
    if (e.name == encoding) return CodecChoice{e.make(), e.label};
  return std::unexpected(XarError::unsupported_encoding(std::string(encoding)));
}

}  // namespace tev::xar
