#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tev {

// The quoted form of a text, as representations and messages echo it: in
// double quotes, with \" \\ \n \r \t \0 escaped and other control characters
// written as \u{hex}. Bytes that are not valid UTF-8 become U+FFFD.
std::string quoted_form(std::string_view text);

// Decodes one scalar value at text[pos], advancing pos; malformed sequences
// (overlong forms, surrogates, truncation) yield U+FFFD for one byte.
char32_t next_scalar(std::string_view text, size_t& pos);
// Appends a scalar value as UTF-8 (U+FFFD for a surrogate or beyond U+10FFFF).
void append_utf8(std::string& out, char32_t c);
// Text read from a file as valid UTF-8, malformed bytes replaced by U+FFFD.
std::string utf8_lossy(std::string_view text);

// Why the bytes are not UTF-8, in the usual words ("invalid utf-8 sequence of
// 1 bytes from index 3", "incomplete utf-8 byte sequence from index 5"), or
// nullopt when they are.
std::optional<std::string> utf8_error(std::string_view text);

}  // namespace tev
