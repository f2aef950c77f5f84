#pragma once

#include <span>

#include "encoder_output.h"

namespace tev::lzfse {

// Appends the LZFSE v2 blocks of src to out; the end-of-stream block is the
// caller's.
void lzfse_encode_blocks(std::span<const uint8_t> src, EncoderOutput& out);

}  // namespace tev::lzfse
