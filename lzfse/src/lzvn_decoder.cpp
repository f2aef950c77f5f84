#include "load_le.h"
#include "lzvn_decoder.h"

#include <algorithm>

#include "copy.h"

namespace tev::lzfse {
namespace {

enum class Op : uint8_t { SmallDistance, MediumDistance, LargeDistance, PreviousDistance,
                          SmallLiteral, LargeLiteral, SmallMatch, LargeMatch, Nop, End, Undefined };

constexpr Op classify(int op) {
  if (op == 0x06) return Op::End;
  if (op == 0x0E || op == 0x16) return Op::Nop;
  if ((op & 0xF0) == 0x70 || (op & 0xF0) == 0xD0) return Op::Undefined;
  if ((op & 0xE0) == 0xA0) return Op::MediumDistance;
  if (op == 0xE0) return Op::LargeLiteral;
  if ((op & 0xF0) == 0xE0) return Op::SmallLiteral;
  if (op == 0xF0) return Op::LargeMatch;
  if ((op & 0xF0) == 0xF0) return Op::SmallMatch;
  switch (op & 7) {
    case 6: return op < 0x40 ? Op::Undefined : Op::PreviousDistance;  // 0x1E..0x3E
    case 7: return Op::LargeDistance;
    default: return Op::SmallDistance;
  }
}

struct OpTable {
  Op ops[256];
  constexpr OpTable() : ops() {
    for (int i = 0; i < 256; ++i) ops[i] = classify(i);
  }
};
constexpr OpTable kOps;

}  // namespace

LzvnRun run_lzvn(std::span<const uint8_t> src, std::span<uint8_t> dst, size_t& out, size_t limit) {
  const uint8_t* s = src.data();
  const size_t n = src.size();
  uint8_t* d = dst.data();
  const size_t dst_size = dst.size();
  size_t ip = 0;
  size_t d_prev = 0;

  auto full = [&] { return LzvnRun{DecodeStatus::OutputFull, ip}; };
  auto invalid = [&] { return LzvnRun{DecodeStatus::Invalid, ip}; };

  while (ip < n) {
    const uint8_t op = s[ip];
    size_t size = 1, literals = 0, match = 0, distance = d_prev;
    switch (kOps.ops[op]) {
      case Op::End:
        if (n - ip < 8) return invalid();
        return {DecodeStatus::Ok, ip + 8};
      case Op::Nop: ++ip; continue;
      case Op::Undefined: return invalid();
      case Op::SmallDistance:
        if (n - ip < 2) return invalid();
        size = 2;
        literals = op >> 6;
        match = ((op >> 3) & 7) + 3;
        distance = (static_cast<size_t>(op & 7) << 8) | s[ip + 1];
        break;
      case Op::LargeDistance:
        if (n - ip < 3) return invalid();
        size = 3;
        literals = op >> 6;
        match = ((op >> 3) & 7) + 3;
        distance = load_le<uint16_t>(src, ip + 1);
        break;
      case Op::PreviousDistance:
        literals = op >> 6;
        match = ((op >> 3) & 7) + 3;
        break;
      case Op::MediumDistance: {
        if (n - ip < 3) return invalid();
        size = 3;
        uint16_t w = load_le<uint16_t>(src, ip + 1);
        literals = (op >> 3) & 3;
        match = ((static_cast<size_t>(op & 7) << 2) | (w & 3)) + 3;
        distance = w >> 2;
        break;
      }
      case Op::SmallLiteral: literals = op & 0xF; break;
      case Op::LargeLiteral:
        if (n - ip < 2) return invalid();
        size = 2;
        literals = s[ip + 1] + 16u;
        break;
      case Op::SmallMatch: match = op & 0xF; break;
      case Op::LargeMatch:
        if (n - ip < 2) return invalid();
        size = 2;
        match = s[ip + 1] + 16u;
        break;
    }
    if (n - ip - size < literals) return invalid();
    const uint8_t* lit = s + ip + size;
    ip += size + literals;
    if (literals > 0) {
      if (literals > limit - out) return invalid();
      if (literals > dst_size - out) {
        std::copy_n(lit, dst_size - out, d + out);
        out = dst_size;
        return full();
      }
      std::memcpy(d + out, lit, literals);
      out += literals;
    }
    if (match == 0) continue;
    d_prev = distance;
    if (distance == 0 || distance > out) return invalid();
    if (match > limit - out) return invalid();
    if (match > dst_size - out) {
      copy_match_bytes(d + out, distance, dst_size - out);
      out = dst_size;
      return full();
    }
    if (dst_size - out - match >= kCopySlack)
      copy_match_wide(d + out, distance, match);
    else
      copy_match_bytes(d + out, distance, match);
    out += match;
  }
  return invalid();  // ran out of input before the end-of-stream instruction
}

}  // namespace tev::lzfse
