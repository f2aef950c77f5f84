#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "tev/lzfse/lzfse.h"

namespace tev::lzfse {

struct LzvnRun {
  DecodeStatus status;
  size_t src_used;  // payload bytes consumed, end-of-stream instruction included
};

// Runs LZVN instructions from src until the end-of-stream instruction,
// appending to dst at `out` (matches may reach back to dst[0]). Output past
// `limit` is an error; output past dst's end fills dst and stops with
// OutputFull. `out` is advanced over what was written.
LzvnRun run_lzvn(std::span<const uint8_t> src, std::span<uint8_t> dst, size_t& out, size_t limit);

}  // namespace tev::lzfse
