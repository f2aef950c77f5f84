#pragma once

// Constants of the LZFSE stream format.
#include <cstdint>

namespace tev::lzfse {

inline constexpr uint32_t kMagicEndOfStream = 0x24787662;  // "bvx$"
inline constexpr uint32_t kMagicRaw = 0x2D787662;          // "bvx-"
inline constexpr uint32_t kMagicV1 = 0x31787662;           // "bvx1"
inline constexpr uint32_t kMagicV2 = 0x32787662;           // "bvx2"
inline constexpr uint32_t kMagicLzvn = 0x6E787662;         // "bvxn"

inline constexpr uint32_t kMaxLiterals = 40000;  // per LZFSE block
inline constexpr uint32_t kMaxMatches = 10000;   // per LZFSE block

inline constexpr int kLiteralSymbols = 256;
inline constexpr int kLSymbols = 20;
inline constexpr int kMSymbols = 20;
inline constexpr int kDSymbols = 64;
inline constexpr int kLiteralStates = 1024;
inline constexpr int kLStates = 64;
inline constexpr int kMStates = 64;
inline constexpr int kDStates = 256;

inline constexpr uint32_t kMaxL = 315;
inline constexpr uint32_t kMaxM = 2359;
inline constexpr uint32_t kMaxD = 262139;
inline constexpr uint32_t kMaxLzvnD = 65535;

inline constexpr uint8_t kLExtraBits[kLSymbols] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                                   0, 0, 0, 0, 0, 0, 2, 3, 5, 8};
inline constexpr int32_t kLBase[kLSymbols] = {0, 1, 2,  3,  4,  5,  6,  7,  8,  9,
                                              10, 11, 12, 13, 14, 15, 16, 20, 28, 60};
inline constexpr uint8_t kMExtraBits[kMSymbols] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                                   0, 0, 0, 0, 0, 0, 3, 5, 8, 11};
inline constexpr int32_t kMBase[kMSymbols] = {0,  1,  2,  3,  4,  5,  6,  7,  8,   9,
                                              10, 11, 12, 13, 14, 15, 16, 24, 56, 312};

// D symbols: extra bits s >> 2, base ((4 + (s & 3)) << (s >> 2)) - 4.
constexpr uint8_t d_extra_bits(int s) { return static_cast<uint8_t>(s >> 2); }
constexpr int32_t d_base(int s) { return ((4 + (s & 3)) << (s >> 2)) - 4; }

// A triple of the L/M/D stream: L literals, then M bytes copied from D back.
struct Triple {
  uint32_t l;
  uint32_t m;
  uint32_t d;
};

}  // namespace tev::lzfse
