#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "tev/udif/dmg_error.h"

namespace tev::udif {

// What the writer compresses chunks with.
enum class CompressionKind { Raw, Zlib, Bzip2, Lzfse };

std::optional<CompressionKind> parse_compression(std::string_view name);
std::string_view compression_name(CompressionKind kind);
uint32_t run_type_of(CompressionKind kind);

// Fills `output` (already zeroed, exactly the run's sector range) from the
// run's stored bytes. Runs that store nothing leave it as it is.
std::expected<void, DmgError> decode_run(uint32_t type, std::span<const uint8_t> stored,
                                         std::span<uint8_t> output);

// The stored bytes of one chunk (already padded to whole sectors).
std::expected<std::vector<uint8_t>, DmgError> encode_chunk(CompressionKind kind, uint32_t level,
                                                           std::span<const uint8_t> input);

}  // namespace tev::udif
