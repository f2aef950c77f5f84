#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>

namespace tev::xar {

// The text without leading and trailing Unicode white space.
std::string_view trim_space(std::string_view text);

// An unsigned decimal with an optional "+", white space around it allowed;
// on failure the reason in the usual words ("invalid digit found in string").
std::expected<uint64_t, std::string> parse_u64(std::string_view text);

// Metadata that is read where it makes sense and left out where it does not
// (a value past its field is left out, never wrapped): an octal mode up to
// kMaxMode, a decimal id that fits 32 bits, an ISO 8601 UTC time
// ("2024-01-02T03:04:05Z", seconds of exactly two digits).
inline constexpr uint32_t kMaxMode = 0177777;
std::optional<uint32_t> parse_mode(std::string_view text);
std::optional<uint32_t> parse_id(std::string_view text);
std::optional<int64_t> parse_time(std::string_view text);

}  // namespace tev::xar
