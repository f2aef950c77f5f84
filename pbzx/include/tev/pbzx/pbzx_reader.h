#pragma once

#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <vector>

#include "tev/common/buffer.h"
#include "tev/pbzx/pbzx_error.h"

namespace tev::pbzx {

// Caps on what a stream may declare, the same on every host: Apple's
// payloads use chunks of 16 MiB.
inline constexpr uint64_t kMaxChunkSize = uint64_t{1} << 30;
inline constexpr uint64_t kMaxPayloadSize = uint64_t{1} << 36;

// A PBZX stream's decompressed bytes (the CPIO archive), its chunks decoded
// in parallel and joined in stream order.
std::expected<Buffer, PbzxError> read_pbzx_file(const std::string& path);
std::expected<Buffer, PbzxError> read_pbzx_bytes(std::vector<uint8_t> stream);
std::expected<Buffer, PbzxError> read_pbzx(std::span<const uint8_t> stream);

}  // namespace tev::pbzx
