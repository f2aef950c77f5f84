// The LZFSE stream decoder: a sequence of blocks sharing one output, so that
// matches of any block may reach back into what earlier blocks wrote.
#include <algorithm>
#include <array>
#include <memory>

#include "load_le.h"
#include "block_header.h"
#include "copy.h"
#include "fse.h"
#include "lzvn_decoder.h"
#include "tev/lzfse/lzfse.h"

namespace tev::lzfse {
namespace {

struct Tables {
  LiteralEntry literal[kLiteralStates];
  ValueEntry l[kLStates];
  ValueEntry m[kMStates];
  ValueEntry d[kDStates];
  // Decoded literals, with room for the wide copies to read past the end.
  uint8_t literals[kMaxLiterals + 64];
};

struct Output {
  uint8_t* data;
  size_t size;
  size_t pos;
};

// A table that is used must cover exactly its states, so every state a
// decode can reach is defined.
bool table_ok(const uint16_t* freq, int n_symbols, int n_states, bool used) {
  uint32_t sum = frequency_sum(freq, n_symbols);
  return used ? sum == static_cast<uint32_t>(n_states) : sum <= static_cast<uint32_t>(n_states);
}

bool decode_literals(const BlockHeader& h, const uint8_t* src_begin, const uint8_t* payload,
                     Tables& t) {
  if (h.n_literals % 4 != 0) return false;
  if (h.n_literals == 0) return true;
  BitReader in;
  // The literal stream may refill from bytes before its payload (the block
  // header); a valid stream never uses them, which is checked at the end.
  if (!in.init(payload + h.n_literal_payload_bytes, h.literal_bits, src_begin)) return false;
  uint16_t s0 = h.literal_state[0], s1 = h.literal_state[1], s2 = h.literal_state[2],
           s3 = h.literal_state[3];
  const LiteralEntry* table = t.literal;
  uint8_t* lit = t.literals;
  for (uint32_t i = 0; i < h.n_literals; i += 4) {
    if (!in.refill()) return false;
    LiteralEntry e0 = table[s0];
    lit[i] = e0.symbol;
    s0 = static_cast<uint16_t>(e0.next_base + in.pull(e0.nbits));
    LiteralEntry e1 = table[s1];
    lit[i + 1] = e1.symbol;
    s1 = static_cast<uint16_t>(e1.next_base + in.pull(e1.nbits));
    LiteralEntry e2 = table[s2];
    lit[i + 2] = e2.symbol;
    s2 = static_cast<uint16_t>(e2.next_base + in.pull(e2.nbits));
    LiteralEntry e3 = table[s3];
    lit[i + 3] = e3.symbol;
    s3 = static_cast<uint16_t>(e3.next_base + in.pull(e3.nbits));
  }
  return in.bits_above(payload) >= 0;
}

inline int32_t decode_value(uint16_t& state, const ValueEntry* table, BitReader& in) {
  ValueEntry e = table[state];
  uint64_t bits = in.pull(e.total_bits);
  state = static_cast<uint16_t>(e.next_base + (bits >> e.value_bits));
  return e.value_base + static_cast<int32_t>(bits & ((uint64_t{1} << e.value_bits) - 1));
}

// Decodes the L/M/D triples and carries each out: L literals, then a match
// of M bytes from D back.
DecodeStatus run_triples(const BlockHeader& h, const uint8_t* lmd, Tables& t, Output& out) {
  BitReader in;
  if (!in.init(lmd + h.n_lmd_payload_bytes, h.lmd_bits, lmd)) return DecodeStatus::Invalid;
  uint16_t ls = h.l_state, ms = h.m_state, ds = h.d_state;
  const uint8_t* lit = t.literals;
  const uint8_t* lit_end = t.literals + h.n_literals;
  const size_t block_start = out.pos;
  size_t distance = SIZE_MAX;  // no distance yet in this block
  uint8_t* const base = out.data;
  size_t pos = out.pos;
  const size_t size = out.size;
  const uint32_t n_matches = h.n_matches;

  for (uint32_t i = 0; i < n_matches; ++i) {
    if (!in.refill()) return DecodeStatus::Invalid;
    size_t l = static_cast<size_t>(decode_value(ls, t.l, in));
    size_t m = static_cast<size_t>(decode_value(ms, t.m, in));
    size_t d = static_cast<size_t>(decode_value(ds, t.d, in));
    if (d != 0) distance = d;
    if (l > static_cast<size_t>(lit_end - lit)) return DecodeStatus::Invalid;
    if (distance > pos + l) return DecodeStatus::Invalid;
    if (size - pos >= l + m + kCopySlack) {
      copy_literals_wide(base + pos, lit, l);
      pos += l;
      lit += l;
      copy_match_wide(base + pos, distance, m);
      pos += m;
      continue;
    }
    // Near the end of the output: exact copies, stopping when it is full.
    size_t n = std::min(l, size - pos);
    std::copy_n(lit, n, base + pos);
    pos += n;
    lit += n;
    if (n < l) {
      out.pos = pos;
      return DecodeStatus::OutputFull;
    }
    n = std::min(m, size - pos);
    copy_match_bytes(base + pos, distance, n);
    pos += n;
    if (n < m) {
      out.pos = pos;
      return DecodeStatus::OutputFull;
    }
  }
  out.pos = pos;
  // Every triple's bytes together make the block's declared size.
  return pos - block_start == h.n_raw_bytes ? DecodeStatus::Ok : DecodeStatus::Invalid;
}

DecodeStatus decode_compressed_block(const BlockHeader& h, std::span<const uint8_t> src,
                                     size_t at, Output& out, Tables& t) {
  uint64_t payload = uint64_t{h.n_literal_payload_bytes} + h.n_lmd_payload_bytes;
  if (payload > src.size() - at - h.header_size) return DecodeStatus::Invalid;
  bool literals_used = h.n_literals > 0;
  bool lmd_used = h.n_matches > 0;
  if (!table_ok(h.literal_freq, kLiteralSymbols, kLiteralStates, literals_used) ||
      !table_ok(h.l_freq, kLSymbols, kLStates, lmd_used) ||
      !table_ok(h.m_freq, kMSymbols, kMStates, lmd_used) ||
      !table_ok(h.d_freq, kDSymbols, kDStates, lmd_used))
    return DecodeStatus::Invalid;
  if (literals_used) build_literal_table(kLiteralStates, kLiteralSymbols, h.literal_freq, t.literal);
  if (lmd_used) {
    static constexpr auto kDExtra = [] {
      std::array<uint8_t, kDSymbols> a{};
      for (int s = 0; s < kDSymbols; ++s) a[s] = d_extra_bits(s);
      return a;
    }();
    static constexpr auto kDBase = [] {
      std::array<int32_t, kDSymbols> a{};
      for (int s = 0; s < kDSymbols; ++s) a[s] = d_base(s);
      return a;
    }();
    build_value_table(kLStates, kLSymbols, h.l_freq, kLExtraBits, kLBase, t.l);
    build_value_table(kMStates, kMSymbols, h.m_freq, kMExtraBits, kMBase, t.m);
    build_value_table(kDStates, kDSymbols, h.d_freq, kDExtra.data(), kDBase.data(), t.d);
  }
  const uint8_t* literal_payload = src.data() + at + h.header_size;
  if (!decode_literals(h, src.data(), literal_payload, t)) return DecodeStatus::Invalid;
  if (!lmd_used) return h.n_raw_bytes == 0 ? DecodeStatus::Ok : DecodeStatus::Invalid;
  return run_triples(h, literal_payload + h.n_literal_payload_bytes, t, out);
}

}  // namespace

DecodeResult decode(std::span<const uint8_t> src, std::span<uint8_t> dst) {
  Output out{dst.data(), dst.size(), 0};
  std::unique_ptr<Tables> tables;
  size_t at = 0;
  auto result = [&](DecodeStatus status) { return DecodeResult{status, out.pos}; };

  for (;;) {
    if (src.size() - at < 4) return result(DecodeStatus::Invalid);  // no end-of-stream block
    const uint32_t magic = load_le<uint32_t>(src, at);
    const size_t left = src.size() - at;
    switch (magic) {
      case kMagicEndOfStream: return result(DecodeStatus::Ok);

      case kMagicRaw: {
        if (left < 8) return result(DecodeStatus::Invalid);
        uint32_t n = load_le<uint32_t>(src, at + 4);
        if (n > left - 8) return result(DecodeStatus::Invalid);
        size_t fits = std::min<size_t>(n, out.size - out.pos);
        std::copy_n(src.data() + at + 8, fits, out.data + out.pos);
        out.pos += fits;
        if (fits < n) return result(DecodeStatus::OutputFull);
        at += 8 + size_t{n};
        break;
      }

      case kMagicLzvn: {
        if (left < 12) return result(DecodeStatus::Invalid);
        uint32_t n_raw = load_le<uint32_t>(src, at + 4);
        uint32_t n_payload = load_le<uint32_t>(src, at + 8);
        if (n_raw == 0 || n_payload > left - 12) return result(DecodeStatus::Invalid);
        size_t start = out.pos;
        auto run = run_lzvn(src.subspan(at + 12, n_payload), dst, out.pos, start + n_raw);
        if (run.status != DecodeStatus::Ok) return result(run.status);
        // The end-of-stream instruction closes the payload, and the block
        // produces exactly what it declares.
        if (run.src_used != n_payload || out.pos - start != n_raw)
          return result(DecodeStatus::Invalid);
        at += 12 + size_t{n_payload};
        break;
      }

      case kMagicV1:
      case kMagicV2: {
        auto header = magic == kMagicV1 ? parse_v1_header(src.subspan(at))
                                        : parse_v2_header(src.subspan(at));
        if (!header) return result(DecodeStatus::Invalid);
        if (!tables) tables = std::make_unique<Tables>();
        auto status = decode_compressed_block(*header, src, at, out, *tables);
        if (status != DecodeStatus::Ok) return result(status);
        at += header->header_size + header->n_literal_payload_bytes + header->n_lmd_payload_bytes;
        break;
      }

      default: return result(DecodeStatus::Invalid);
    }
  }
}

size_t decode_buffer(std::span<uint8_t> dst, std::span<const uint8_t> src) {
  DecodeResult r = decode(src, dst);
  switch (r.status) {
    case DecodeStatus::Ok: return r.written;
    case DecodeStatus::OutputFull: return dst.size();
    case DecodeStatus::Invalid: break;
  }
  return 0;
}

DecodeResult decode_lzvn(std::span<const uint8_t> src, std::span<uint8_t> dst) {
  size_t out = 0;
  auto run = run_lzvn(src, dst, out, SIZE_MAX);
  return {run.status, out};
}

}  // namespace tev::lzfse
