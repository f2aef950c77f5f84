#include "tev/common/xz_stream.h"

#include <lzma.h>

#include <algorithm>

namespace tev {
namespace {

constexpr size_t kInputPiece = 8192;

}  // namespace

const char* xz_message(int lzma_code) {
  switch (static_cast<lzma_ret>(lzma_code)) {
    case LZMA_FORMAT_ERROR: return "file format not recognized";
    case LZMA_OPTIONS_ERROR: return "unsupported compression options";
    case LZMA_DATA_ERROR: return "compressed data is corrupt";
    case LZMA_BUF_ERROR: return "unexpected end of input";
    case LZMA_MEM_ERROR: return "cannot allocate memory";
    case LZMA_MEMLIMIT_ERROR: return "dictionary larger than the decoder allows";
    case LZMA_UNSUPPORTED_CHECK: return "unsupported integrity check";
    default: return "internal error";
  }
}

struct XzDecoder::State {
  lzma_stream stream = LZMA_STREAM_INIT;
  ~State() { lzma_end(&stream); }
};

XzDecoder::XzDecoder() : state_(std::make_unique<State>()) {}
XzDecoder::~XzDecoder() = default;

std::expected<XzOutcome, std::string> XzDecoder::decode(std::span<const uint8_t> in, std::span<uint8_t> out,
                                                        bool need_end) {
  lzma_stream& x = state_->stream;
  x.next_in = nullptr;
  x.avail_in = 0;
  if (lzma_ret rc = lzma_stream_decoder(&x, UINT64_MAX, 0); rc != LZMA_OK) return std::unexpected(xz_message(rc));
  XzOutcome outcome;
  uint8_t probe = 0;
  size_t in_at = 0;
  for (;;) {
    if (x.avail_in == 0 && in_at < in.size()) {
      size_t n = std::min(kInputPiece, in.size() - in_at);
      x.next_in = in.data() + in_at;
      x.avail_in = n;
      in_at += n;
    }
    const bool full = outcome.produced == out.size();
    if (full && !need_end) return outcome;
    x.next_out = full ? &probe : out.data() + outcome.produced;
    x.avail_out = full ? 1 : out.size() - outcome.produced;
    const size_t room = x.avail_out;
    lzma_ret rc = lzma_code(&x, in_at == in.size() ? LZMA_FINISH : LZMA_RUN);
    const size_t got = room - x.avail_out;
    if (full && got > 0) {
      outcome.more = true;
      return outcome;
    }
    outcome.produced += got;
    if (rc == LZMA_STREAM_END) {
      outcome.ended = true;
      return outcome;
    }
    if (rc == LZMA_BUF_ERROR && x.avail_in == 0 && in_at == in.size()) return outcome;  // input ran out
    if (rc != LZMA_OK) return std::unexpected(xz_message(rc));
  }
}

std::expected<std::vector<uint8_t>, std::string> xz_encode(std::span<const uint8_t> in, uint32_t level) {
  std::vector<uint8_t> out(lzma_stream_buffer_bound(in.size()));
  size_t used = 0;
  lzma_ret rc = lzma_easy_buffer_encode(level, LZMA_CHECK_CRC64, nullptr, in.data(), in.size(), out.data(), &used,
                                        out.size());
  if (rc != LZMA_OK) return std::unexpected(xz_message(rc));
  out.resize(used);
  return out;
}

}  // namespace tev
