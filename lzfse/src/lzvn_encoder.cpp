// The LZVN encoder: greedy matching through a hash of three bytes with four
// positions per bucket, scoring candidates by the bytes they save.
#include "lzvn_encoder.h"

#include <algorithm>
#include <bit>
#include <cstring>

namespace tev::lzfse {
namespace {

constexpr int kHashBits = 14;
constexpr int kHashWidth = 4;
constexpr size_t kMaxDistance = 65535;
constexpr size_t kEndMargin = 8;
constexpr size_t kLiteralBacklog = 400;

uint32_t load4(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}

uint32_t hash3(uint32_t x) { return (((x & 0xFFFFFF) * 4161u) >> 12) & ((1u << kHashBits) - 1); }

// Leading bytes two little-endian words have in common (0 to 4).
size_t common_bytes(uint32_t a, uint32_t b) {
  uint32_t diff = a ^ b;
  return diff == 0 ? 4 : static_cast<size_t>(std::countr_zero(diff)) / 8;
}

struct Match {
  size_t begin = 0, end = 0, distance = 0;
  long score = 0;
  bool valid = false;
};

class LzvnEncoder {
 public:
  explicit LzvnEncoder(std::span<const uint8_t> src) : src_(src.data()), n_(src.size()) {}

  std::vector<uint8_t> run() {
    struct Slot {
      uint32_t pos[kHashWidth];
      uint32_t value[kHashWidth];
    };
    std::vector<Slot> table(size_t{1} << kHashBits);
    uint32_t first = n_ >= 4 ? load4(src_) : 0;
    for (auto& slot : table)
      for (int k = 0; k < kHashWidth; ++k) slot.pos[k] = 0, slot.value[k] = first;

    for (size_t cur = 0; cur + kEndMargin < n_; ++cur) {
      uint32_t vi = load4(src_ + cur);
      Slot& slot = table[hash3(vi)];
      Slot old = slot;
      slot.pos[0] = static_cast<uint32_t>(cur);
      slot.value[0] = vi;
      for (int k = 1; k < kHashWidth; ++k) slot.pos[k] = old.pos[k - 1], slot.value[k] = old.value[k - 1];
      if (cur < literal_) continue;

      Match best;
      for (int k = 0; k < kHashWidth; ++k) consider(cur, old.pos[k], old.value[k], vi, best);
      if (d_prev_ != 0 && cur >= d_prev_)
        consider(cur, cur - d_prev_, load4(src_ + cur - d_prev_), vi, best);

      if (!best.valid) {
        if (cur - literal_ >= kLiteralBacklog) {
          if (pending_.valid) {
            emit_match(pending_);
            pending_.valid = false;
          } else {
            emit_literals(271);
          }
        }
        continue;
      }
      if (!pending_.valid) {
        pending_ = best;
      } else if (pending_.end <= best.begin) {
        emit_match(pending_);
        pending_ = best;
      } else {
        if (best.score > pending_.score) pending_ = best;
        emit_match(pending_);
        pending_.valid = false;
      }
    }
    // A match still pending at the end is left as literals.
    emit_literals(n_ - literal_);
    static constexpr uint8_t kEnd[8] = {0x06, 0, 0, 0, 0, 0, 0, 0};
    out_.insert(out_.end(), kEnd, kEnd + 8);
    return std::move(out_);
  }

 private:
  void consider(size_t cur, size_t ref, uint32_t ref_value, uint32_t vi, Match& best) {
    size_t nbytes = common_bytes(vi, ref_value);
    if (nbytes < 3 || ref >= cur || cur - ref > kMaxDistance) return;
    size_t distance = cur - ref;
    size_t begin = cur, end = cur + nbytes;
    if (nbytes == 4) {
      while (end + 4 < n_) {
        size_t more = common_bytes(load4(src_ + end), load4(src_ + end - distance));
        end += more;
        if (more < 4) break;
      }
    }
    while (begin - distance > 0 && begin > literal_ && src_[begin - 1] == src_[begin - 1 - distance])
      --begin;
    long m = static_cast<long>(end - begin);
    long score = distance == d_prev_ ? m - 1 : distance < 0x600 ? m - 2 : m - 3;
    if (!best.valid || score > best.score || (score == best.score && end > best.end + 1))
      best = {begin, end, distance, score, true};
  }

  void put(uint8_t b) { out_.push_back(b); }
  void put_literal_bytes(size_t n) {
    out_.insert(out_.end(), src_ + literal_, src_ + literal_ + n);
    literal_ += n;
  }

  // Literal runs of more than 15 bytes go into large-literal instructions,
  // then 4 to 15 (or, at the end, 1 to 15) into a small one.
  void emit_long_literals(size_t& n, size_t keep_up_to) {
    while (n > 15) {
      size_t take = std::min<size_t>(n, 271);
      put(0xE0);
      put(static_cast<uint8_t>(take - 16));
      put_literal_bytes(take);
      n -= take;
    }
    if (n > keep_up_to) {
      put(static_cast<uint8_t>(0xE0 | n));
      put_literal_bytes(n);
      n = 0;
    }
  }

  void emit_literals(size_t n) { emit_long_literals(n, 0); }

  void emit_match(const Match& match) {
    size_t l = match.begin - literal_;
    emit_long_literals(l, 3);
    size_t m = match.end - match.begin;
    size_t d = match.distance;
    size_t x = std::min(m, 10 - 2 * l);
    size_t rest = m - x;
    uint8_t ll = static_cast<uint8_t>(l << 6);
    uint8_t mm = static_cast<uint8_t>((x - 3) << 3);
    if (d == d_prev_) {
      if (l == 0) {
        put(static_cast<uint8_t>(0xF0 + x));
      } else {
        put(ll | mm | 6);
      }
    } else if (d < 0x600) {
      put(static_cast<uint8_t>(ll | mm | (d >> 8)));
      put(static_cast<uint8_t>(d & 0xFF));
    } else if (d >= 0x4000 || rest == 0 || x + rest > 34) {
      put(ll | mm | 7);
      put(static_cast<uint8_t>(d));
      put(static_cast<uint8_t>(d >> 8));
    } else {
      size_t y = m - 3;
      put(static_cast<uint8_t>(0xA0 | (l << 3) | (y >> 2)));
      uint16_t w = static_cast<uint16_t>((d << 2) | (y & 3));
      put(static_cast<uint8_t>(w));
      put(static_cast<uint8_t>(w >> 8));
      rest = 0;
    }
    put_literal_bytes(l);
    while (rest > 15) {
      size_t take = std::min<size_t>(rest, 271);
      put(0xF0);
      put(static_cast<uint8_t>(take - 16));
      rest -= take;
    }
    if (rest > 0) put(static_cast<uint8_t>(0xF0 + rest));
    d_prev_ = d;
    literal_ = match.end;
  }

  const uint8_t* src_;
  size_t n_;
  size_t literal_ = 0;  // first byte not yet emitted
  size_t d_prev_ = 0;
  Match pending_;
  std::vector<uint8_t> out_;
};

}  // namespace

std::vector<uint8_t> lzvn_encode(std::span<const uint8_t> src) { return LzvnEncoder(src).run(); }

}  // namespace tev::lzfse
