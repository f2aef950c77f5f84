// The LZFSE encoder: a hash-chain match finder feeding (L, M, D) triples and
// literals into blocks, each written with its own FSE tables.
#include "lzfse_encoder.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <vector>

#include "block_header.h"
#include "fse.h"

namespace tev::lzfse {
namespace {

constexpr int kHashBits = 14;
constexpr int kHashWidth = 4;
constexpr int64_t kMaxDistance = kMaxD;
constexpr size_t kGoodMatch = 40;
constexpr size_t kMaxMatchLength = 100 * kMaxM;
constexpr size_t kEndMargin = 8;
constexpr size_t kLiteralBacklog = 8 * kMaxL;
// Blocks stop short of the decoder's limits, as the reference's do.
constexpr size_t kBlockMatches = kMaxMatches - 8;
constexpr size_t kBlockLiterals = kMaxLiterals - 16;
// Positions are 32-bit; longer inputs are searched in independent segments.
constexpr size_t kSegment = size_t{1} << 30;

uint32_t load4(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}

uint64_t load8(const uint8_t* p) {
  uint64_t v;
  std::memcpy(&v, p, 8);
  return v;
}

int l_symbol(uint32_t v) { return v < 16 ? static_cast<int>(v) : v < 20 ? 16 : v < 28 ? 17 : v < 60 ? 18 : 19; }
int m_symbol(uint32_t v) { return v < 16 ? static_cast<int>(v) : v < 24 ? 16 : v < 56 ? 17 : v < 312 ? 18 : 19; }
int d_symbol(uint32_t v) {
  uint32_t u = v + 4;
  int g = std::bit_width(u) - 1 - 2;
  return 4 * g + static_cast<int>((u >> g) & 3);
}

constexpr auto kDExtra = [] {
  std::array<uint8_t, kDSymbols> a{};
  for (int s = 0; s < kDSymbols; ++s) a[s] = d_extra_bits(s);
  return a;
}();
constexpr auto kDBase = [] {
  std::array<int32_t, kDSymbols> a{};
  for (int s = 0; s < kDSymbols; ++s) a[s] = d_base(s);
  return a;
}();

// Collects one block's triples and literals and writes it.
class BlockWriter {
 public:
  explicit BlockWriter(EncoderOutput& out) : out_(&out) {
    triples_.reserve(kBlockMatches);
    literals_.reserve(kMaxLiterals);
  }

  // Adds a match whose literals start at `literal` and whose copy starts at
  // `begin`; long literal runs and long matches are split. False when the
  // block cannot take all of the parts.
  bool add(const uint8_t* literal, const uint8_t* begin, size_t length, uint32_t distance) {
    size_t l = static_cast<size_t>(begin - literal);
    size_t m = length;
    size_t parts = (l > kMaxL ? (l - 1) / kMaxL : 0) + (m > kMaxM ? (m - 1) / kMaxM : 0) + 1;
    if (triples_.size() + parts > kBlockMatches || literals_.size() + l > kBlockLiterals) return false;
    literals_.insert(literals_.end(), literal, begin);
    while (l > kMaxL) {
      triples_.push_back({kMaxL, 0, 1});
      l -= kMaxL;
    }
    while (m > kMaxM) {
      triples_.push_back({static_cast<uint32_t>(l), kMaxM, distance});
      l = 0;
      m -= kMaxM;
    }
    if (l > 0 || m > 0) triples_.push_back({static_cast<uint32_t>(l), static_cast<uint32_t>(m), distance});
    raw_bytes_ += static_cast<size_t>(begin - literal) + length;
    return true;
  }

  bool empty() const { return triples_.empty(); }

  void flush() {
    if (triples_.empty()) return;
    write_block();
    triples_.clear();
    literals_.clear();
    raw_bytes_ = 0;
  }

 private:
  void write_block();

  EncoderOutput* out_;
  std::vector<Triple> triples_;
  std::vector<uint8_t> literals_;
  size_t raw_bytes_ = 0;
  std::vector<uint8_t> literal_payload_, lmd_payload_, header_;
};

void BlockWriter::write_block() {
  BlockHeader h;
  h.n_raw_bytes = static_cast<uint32_t>(raw_bytes_);
  while (literals_.size() % 4 != 0) literals_.push_back(0);
  h.n_literals = static_cast<uint32_t>(literals_.size());
  h.n_matches = static_cast<uint32_t>(triples_.size());

  // A distance equal to the previous one in the block is stored as 0.
  uint32_t counts_l[kLSymbols] = {}, counts_m[kMSymbols] = {}, counts_d[kDSymbols] = {};
  uint32_t counts_lit[kLiteralSymbols] = {};
  uint32_t previous = 0;
  for (Triple& t : triples_) {
    uint32_t stored = t.d == previous ? 0 : t.d;
    previous = t.d;
    t.d = stored;
    ++counts_l[l_symbol(t.l)];
    ++counts_m[m_symbol(t.m)];
    ++counts_d[d_symbol(t.d)];
  }
  for (uint8_t b : literals_) ++counts_lit[b];
  normalize_frequencies(kLStates, kLSymbols, counts_l, h.l_freq);
  normalize_frequencies(kMStates, kMSymbols, counts_m, h.m_freq);
  normalize_frequencies(kDStates, kDSymbols, counts_d, h.d_freq);
  normalize_frequencies(kLiteralStates, kLiteralSymbols, counts_lit, h.literal_freq);

  EncoderEntry enc_l[kLSymbols], enc_m[kMSymbols], enc_d[kDSymbols], enc_lit[kLiteralSymbols];
  build_encoder_table(kLStates, kLSymbols, h.l_freq, enc_l);
  build_encoder_table(kMStates, kMSymbols, h.m_freq, enc_m);
  build_encoder_table(kDStates, kDSymbols, h.d_freq, enc_d);
  build_encoder_table(kLiteralStates, kLiteralSymbols, h.literal_freq, enc_lit);

  // Literals, last group first, so that the decoder meets them in order.
  literal_payload_.clear();
  {
    BitWriter bits(literal_payload_);
    uint16_t s[4] = {0, 0, 0, 0};
    for (size_t i = literals_.size(); i > 0;) {
      i -= 4;
      fse_encode(s[3], enc_lit[literals_[i + 3]], bits);
      fse_encode(s[2], enc_lit[literals_[i + 2]], bits);
      fse_encode(s[1], enc_lit[literals_[i + 1]], bits);
      fse_encode(s[0], enc_lit[literals_[i]], bits);
    }
    h.literal_bits = bits.finish();
    for (int i = 0; i < 4; ++i) h.literal_state[i] = s[i];
  }
  // Triples, last first, after 8 zero bytes the decoder's refills may load.
  lmd_payload_.assign(8, 0);
  {
    BitWriter bits(lmd_payload_);
    uint16_t ls = 0, ms = 0, ds = 0;
    for (size_t i = triples_.size(); i-- > 0;) {
      const Triple& t = triples_[i];
      int sd = d_symbol(t.d), sm = m_symbol(t.m), sl = l_symbol(t.l);
      bits.push(t.d - static_cast<uint32_t>(kDBase[sd]), kDExtra[sd]);
      fse_encode(ds, enc_d[sd], bits);
      bits.push(t.m - static_cast<uint32_t>(kMBase[sm]), kMExtraBits[sm]);
      fse_encode(ms, enc_m[sm], bits);
      bits.push(t.l - static_cast<uint32_t>(kLBase[sl]), kLExtraBits[sl]);
      fse_encode(ls, enc_l[sl], bits);
    }
    h.lmd_bits = bits.finish();
    h.l_state = ls;
    h.m_state = ms;
    h.d_state = ds;
  }
  h.n_literal_payload_bytes = static_cast<uint32_t>(literal_payload_.size());
  h.n_lmd_payload_bytes = static_cast<uint32_t>(lmd_payload_.size());
  header_.clear();
  write_v2_header(h, header_);

  out_->put(header_.data(), header_.size());
  out_->put(literal_payload_.data(), literal_payload_.size());
  out_->put(lmd_payload_.data(), lmd_payload_.size());
}

struct PendingMatch {
  int64_t pos = 0;
  int64_t ref = 0;
  size_t length = 0;
  bool valid = false;
};

// Finds matches in one segment of at most kSegment bytes.
class MatchFinder {
 public:
  MatchFinder(const uint8_t* src, size_t n, BlockWriter& blocks) : src_(src), n_(n), blocks_(&blocks) {}

  void run() {
    struct Line {
      int32_t pos[kHashWidth];
      uint32_t value[kHashWidth];
    };
    std::vector<Line> table(size_t{1} << kHashBits);
    for (auto& line : table)
      for (int k = 0; k < kHashWidth; ++k) line.pos[k] = static_cast<int32_t>(-4 * kMaxDistance), line.value[k] = 0;

    const int64_t last = static_cast<int64_t>(n_) - 1 - static_cast<int64_t>(kEndMargin);
    for (int64_t pos = 0; pos <= last; ++pos) {
      uint32_t x = load4(src_ + pos);
      Line& line = table[(x * 2654435761u) >> (32 - kHashBits)];
      Line old = line;
      line.pos[0] = static_cast<int32_t>(pos);
      line.value[0] = x;
      for (int k = 1; k < kHashWidth; ++k) line.pos[k] = old.pos[k - 1], line.value[k] = old.value[k - 1];
      if (pos < literal_) continue;

      PendingMatch best;
      for (int k = 0; k < kHashWidth; ++k) {
        int64_t ref = old.pos[k];
        if (old.value[k] != x || ref + kMaxDistance < pos || ref >= pos) continue;
        size_t length = extend_forward(pos, ref);
        if (length > best.length) best = {pos, ref, length, true};
      }
      if (!best.valid) {
        if (pos - literal_ > static_cast<int64_t>(kLiteralBacklog)) {
          if (pending_.valid) {
            send(pending_);
            pending_.valid = false;
          } else {
            send({literal_ + static_cast<int64_t>(kMaxL), literal_ + static_cast<int64_t>(kMaxL) - 1, 0, true});
          }
        }
        continue;
      }
      best.length = std::min(best.length, kMaxMatchLength);
      while (best.pos > literal_ && best.ref > 0 && src_[best.pos - 1] == src_[best.ref - 1]) {
        --best.pos;
        --best.ref;
        ++best.length;
      }
      if (best.length >= kGoodMatch) {
        send(best);
        pending_.valid = false;
      } else if (!pending_.valid) {
        pending_ = best;
      } else if (pending_.pos + static_cast<int64_t>(pending_.length) <= best.pos) {
        send(pending_);
        pending_ = best;
      } else {
        send(best.length > pending_.length ? best : pending_);
        pending_.valid = false;
      }
    }
    if (pending_.valid) send(pending_);
    // The rest as literal-only runs.
    while (literal_ < static_cast<int64_t>(n_)) {
      int64_t take = std::min<int64_t>(static_cast<int64_t>(n_) - literal_, kMaxL);
      send({literal_ + take, literal_ + take - 1, 0, true});
    }
  }

 private:
  // Compares eight bytes at a time while the length is below n - pos - 8; a
  // match may end up to seven bytes past that, never past the input.
  size_t extend_forward(int64_t pos, int64_t ref) const {
    size_t limit = n_ - kEndMargin - static_cast<size_t>(pos);
    size_t length = 4;
    while (length < limit) {
      uint64_t diff = load8(src_ + pos + length) ^ load8(src_ + ref + length);
      if (diff != 0) return length + static_cast<size_t>(std::countr_zero(diff)) / 8;
      length += 8;
    }
    return length;
  }

  void send(const PendingMatch& match) {
    const uint8_t* literal = src_ + literal_;
    const uint8_t* begin = src_ + match.pos;
    uint32_t distance = static_cast<uint32_t>(match.pos - match.ref);
    if (!blocks_->add(literal, begin, match.length, distance)) {
      blocks_->flush();
      blocks_->add(literal, begin, match.length, distance);
    }
    literal_ = match.pos + static_cast<int64_t>(match.length);
  }

  const uint8_t* src_;
  size_t n_;
  BlockWriter* blocks_;
  int64_t literal_ = 0;
  PendingMatch pending_;
};

}  // namespace

void lzfse_encode_blocks(std::span<const uint8_t> src, EncoderOutput& out) {
  BlockWriter blocks(out);
  for (size_t at = 0; at < src.size(); at += kSegment) {
    size_t n = std::min(kSegment, src.size() - at);
    MatchFinder(src.data() + at, n, blocks).run();
  }
  blocks.flush();
}

}  // namespace tev::lzfse
