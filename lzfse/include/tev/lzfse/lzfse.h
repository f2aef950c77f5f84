#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace tev::lzfse {

enum class DecodeStatus {
  Ok,          // the stream ended with its end-of-stream block
  OutputFull,  // the output filled up first; what fitted has been written
  Invalid,     // the stream is malformed or cut short
};

struct DecodeResult {
  DecodeStatus status;
  size_t written;  // bytes written to the output
};

// Decodes a whole LZFSE stream (any mix of raw, LZVN, v1 and v2 blocks, up to
// the end-of-stream block) into dst. Safe on any input.
DecodeResult decode(std::span<const uint8_t> src, std::span<uint8_t> dst);

// The same with the reference library's contract: the number of bytes
// written; dst.size() when the output filled the buffer (it may have been cut
// short); 0 for an invalid stream.
size_t decode_buffer(std::span<uint8_t> dst, std::span<const uint8_t> src);

// Decodes a bare LZVN stream (no block header, as compressed file data in file
// systems stores it) up to its end-of-stream instruction.
DecodeResult decode_lzvn(std::span<const uint8_t> src, std::span<uint8_t> dst);

// Encodes src as an LZFSE stream into dst: LZVN for small inputs, v2 blocks
// for larger ones, a raw block wherever that is smaller. Returns the encoded
// size, or 0 when the result does not fit in dst.
size_t encode_buffer(std::span<uint8_t> dst, std::span<const uint8_t> src);

}  // namespace tev::lzfse
