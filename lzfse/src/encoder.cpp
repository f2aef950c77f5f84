// Choosing how a whole input is stored: raw for tiny inputs, one LZVN block
// for small ones, LZFSE blocks for the rest.
#include "encoder_output.h"
#include "format.h"
#include "lzfse_encoder.h"
#include "lzvn_encoder.h"
#include "tev/lzfse/lzfse.h"

namespace tev::lzfse {
namespace {

constexpr size_t kLzvnMinInput = 8;
constexpr size_t kLzfseMinInput = 4096;

}  // namespace

size_t encode_buffer(std::span<uint8_t> dst, std::span<const uint8_t> src) {
  EncoderOutput out{dst};
  const size_t n = src.size();
  bool done = false;
  if (n >= kLzfseMinInput) {
    // Incompressible input is stored as one raw block instead, never as raw
    // blocks among compressed ones: decoders other than the reference's do
    // not all accept mixed streams.
    lzfse_encode_blocks(src, out);
    done = !out.overflow && out.pos + 4 < n + 12;
  } else if (n >= kLzvnMinInput) {
    std::vector<uint8_t> payload = lzvn_encode(src);
    if (payload.size() < n) {
      out.put_u32(kMagicLzvn);
      out.put_u32(static_cast<uint32_t>(n));
      out.put_u32(static_cast<uint32_t>(payload.size()));
      out.put(payload.data(), payload.size());
      done = !out.overflow;
    }
  }
  if (!done) {
    // A raw stream: one block for what a 32-bit size holds, more if needed.
    out = EncoderOutput{dst};
    for (size_t at = 0; at < n || at == 0; at += UINT32_MAX) {
      size_t take = std::min<size_t>(n - at, UINT32_MAX);
      put_raw_block(out, src.data() + at, take);
      if (take == 0) break;
    }
  }
  out.put_u32(kMagicEndOfStream);
  return out.overflow ? 0 : out.pos;
}

}  // namespace tev::lzfse
