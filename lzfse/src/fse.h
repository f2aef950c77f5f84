#pragma once

// Finite State Entropy (tANS) coding as LZFSE uses it: states of a symbol are
// one contiguous run, in symbol order, with no spreading.
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace tev::lzfse {

struct LiteralEntry {
  uint8_t nbits;
  uint8_t symbol;
  int16_t next_base;
};

// L, M and D values: one read of nbits + extra bits gives the next state
// (high part) and the value's offset from its symbol's base (low part).
struct ValueEntry {
  uint8_t total_bits;
  uint8_t value_bits;
  int16_t next_base;
  int32_t value_base;
};

struct EncoderEntry {
  int16_t s0;
  int16_t k;
  int16_t delta_hi;
  int16_t delta_lo;
};

// The sum of a frequency table.
uint32_t frequency_sum(const uint16_t* freq, int n_symbols);

// Decoder tables of n_states entries. The frequencies must sum to n_states.
void build_literal_table(int n_states, int n_symbols, const uint16_t* freq, LiteralEntry* table);
void build_value_table(int n_states, int n_symbols, const uint16_t* freq, const uint8_t* extra_bits,
                       const int32_t* base, ValueEntry* table);
void build_encoder_table(int n_states, int n_symbols, const uint16_t* freq, EncoderEntry* table);

// Scales symbol counts to frequencies summing exactly to n_states, as the
// reference encoder does (so that tables come out the same).
void normalize_frequencies(int n_states, int n_symbols, const uint32_t* counts, uint16_t* freq);

// Reads a bit stream backwards from the end of its payload: the bits written
// last come out first. The accumulator holds 56 to 63 bits after a refill,
// enough for four literals or one L/M/D triple.
class BitReader {
 public:
  // `bits` (-8..0) is minus the number of zero pad bits in the last byte;
  // `lowest` is the first byte a refill may load.
  bool init(const uint8_t* payload_end, int bits, const uint8_t* lowest) {
    lowest_ = lowest;
    if (bits < -8 || bits > 0) return false;
    size_t n = bits != 0 ? 8 : 7;
    if (payload_end - lowest < static_cast<std::ptrdiff_t>(n)) return false;
    ptr_ = payload_end - n;
    accum_ = 0;
    std::memcpy(&accum_, ptr_, n);
    count_ = static_cast<int>(8 * n) + bits;
    return count_ >= 56 && count_ < 64 && (accum_ >> count_) == 0;
  }

  bool refill() {
    int take = (63 - count_) >> 3;
    if (take == 0) return true;
    if (ptr_ - lowest_ < take) return false;
    ptr_ -= take;
    uint64_t incoming;
    std::memcpy(&incoming, ptr_, 8);  // ends at or before the previous window's end
    int nbits = 8 * take;
    accum_ = (accum_ << nbits) | (incoming & ((uint64_t{1} << nbits) - 1));
    count_ += nbits;
    return true;
  }

  uint64_t pull(int n) {
    count_ -= n;
    return (accum_ >> count_) & ((uint64_t{1} << n) - 1);
  }

  // Bits left unread counting from `start`: negative when reads went below it.
  std::ptrdiff_t bits_above(const uint8_t* start) const { return (ptr_ - start) * 8 + count_; }

 private:
  uint64_t accum_ = 0;
  int count_ = 0;
  const uint8_t* ptr_ = nullptr;
  const uint8_t* lowest_ = nullptr;
};

// Writes an LSB-first bit string.
class BitWriter {
 public:
  explicit BitWriter(std::vector<uint8_t>& out) : out_(&out) {}
  void push(uint64_t value, int n) {
    accum_ |= value << count_;
    count_ += n;
    while (count_ >= 8) {
      out_->push_back(static_cast<uint8_t>(accum_));
      accum_ >>= 8;
      count_ -= 8;
    }
  }
  // Pads the last byte with zeros and returns minus the number of pad bits.
  int finish() {
    if (count_ == 0) return 0;
    int pad = 8 - count_;
    out_->push_back(static_cast<uint8_t>(accum_));
    accum_ = 0;
    count_ = 0;
    return -pad;
  }

 private:
  std::vector<uint8_t>* out_;
  uint64_t accum_ = 0;
  int count_ = 0;
};

inline void fse_encode(uint16_t& state, const EncoderEntry& e, BitWriter& out) {
  int x = state;
  bool hi = x >= e.s0;
  int n = hi ? e.k : e.k - 1;
  out.push(static_cast<uint64_t>(x) & ((uint64_t{1} << n) - 1), n);
  state = static_cast<uint16_t>((hi ? e.delta_hi : e.delta_lo) + (x >> n));
}

}  // namespace tev::lzfse
