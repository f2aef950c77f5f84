#pragma once

#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <vector>

#include "tev/common/buffer.h"
#include "tev/pbzx/pbzx_error.h"

namespace tev::pbzx {

// A PBZX stream's decompressed bytes (the CPIO archive), its chunks decoded
// in parallel and joined in stream order.
std::expected<Buffer, PbzxError> read_pbzx_file(const std::string& path);
std::expected<Buffer, PbzxError> read_pbzx_bytes(std::vector<uint8_t> stream);
std::expected<Buffer, PbzxError> read_pbzx(std::span<const uint8_t> stream);

}  // namespace tev::pbzx
