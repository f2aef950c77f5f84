#include "fse.h"

namespace tev::lzfse {
namespace {

// k is the shift with n_states <= f << k < 2 * n_states.
int state_shift(uint32_t f, uint32_t n_states) {
  return std::countl_zero(f) - std::countl_zero(n_states);
}

// Walks every state of the table: a symbol owns a contiguous run of states,
// the first j0 of them reading k bits, the rest k - 1.
template <class F>
void for_each_state(int n_states, int n_symbols, const uint16_t* freq, F&& f) {
  int state = 0;
  for (int s = 0; s < n_symbols; ++s) {
    int fs = freq[s];
    if (fs == 0) continue;
    int k = state_shift(fs, n_states);
    int j0 = ((2 * n_states) >> k) - fs;
    for (int j = 0; j < fs; ++j) {
      if (j < j0)
        f(state++, s, k, ((fs + j) << k) - n_states);
      else
        f(state++, s, k - 1, (j - j0) << (k - 1));
    }
  }
}

}  // namespace

uint32_t frequency_sum(const uint16_t* freq, int n_symbols) {
  uint32_t sum = 0;
  for (int s = 0; s < n_symbols; ++s) sum += freq[s];
  return sum;
}

void build_literal_table(int n_states, int n_symbols, const uint16_t* freq, LiteralEntry* table) {
  for_each_state(n_states, n_symbols, freq, [&](int state, int symbol, int nbits, int next_base) {
    table[state] = {static_cast<uint8_t>(nbits), static_cast<uint8_t>(symbol), static_cast<int16_t>(next_base)};
  });
}

void build_value_table(int n_states, int n_symbols, const uint16_t* freq, const uint8_t* extra_bits,
                       const int32_t* base, ValueEntry* table) {
  for_each_state(n_states, n_symbols, freq, [&](int state, int symbol, int nbits, int next_base) {
    table[state] = {static_cast<uint8_t>(nbits + extra_bits[symbol]), extra_bits[symbol],
                    static_cast<int16_t>(next_base), base[symbol]};
  });
}

void build_encoder_table(int n_states, int n_symbols, const uint16_t* freq, EncoderEntry* table) {
  int start = 0;
  for (int s = 0; s < n_symbols; ++s) {
    int f = freq[s];
    EncoderEntry& e = table[s];
    if (f == 0) {
      e = {};
      continue;
    }
    int k = state_shift(f, n_states);
    e.k = static_cast<int16_t>(k);
    e.s0 = static_cast<int16_t>((f << k) - n_states);
    e.delta_hi = static_cast<int16_t>(start - f + (n_states >> k));
    e.delta_lo = k >= 1 ? static_cast<int16_t>(start - f + (n_states >> (k - 1))) : 0;
    start += f;
  }
}

void normalize_frequencies(int n_states, int n_symbols, const uint32_t* counts, uint16_t* freq) {
  uint32_t total = 0;
  for (int s = 0; s < n_symbols; ++s) total += counts[s];
  uint32_t step = total == 0 ? 0 : (uint32_t{1} << 31) / total;
  int shift = std::countl_zero(static_cast<uint32_t>(n_states)) - 1;
  int remaining = n_states;
  int max_freq = 0;
  int max_symbol = 0;
  for (int s = 0; s < n_symbols; ++s) {
    uint32_t f = (((counts[s] * step) >> shift) + 1) >> 1;
    if (f == 0 && counts[s] != 0) f = 1;
    freq[s] = static_cast<uint16_t>(f);
    remaining -= static_cast<int>(f);
    if (static_cast<int>(f) > max_freq) {
      max_freq = static_cast<int>(f);
      max_symbol = s;
    }
  }
  if (-remaining < (max_freq >> 2)) {
    freq[max_symbol] = static_cast<uint16_t>(freq[max_symbol] + remaining);
    return;
  }
  // A large overshoot is taken back from every symbol in proportion, in
  // passes of growing strength.
  int over = -remaining;
  for (int pass_shift = 3; over != 0 && pass_shift >= 0; --pass_shift) {
    for (int s = 0; s < n_symbols && over != 0; ++s) {
      if (freq[s] <= 1) continue;
      int n = (freq[s] - 1) >> pass_shift;
      if (n > over) n = over;
      freq[s] = static_cast<uint16_t>(freq[s] - n);
      over -= n;
    }
  }
}

}  // namespace tev::lzfse
