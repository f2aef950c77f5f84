#pragma once

#include <string>
#include <string_view>

namespace tev {

// The quoted form of a text, as representations and messages echo it: in
// double quotes, with \" \\ \n \r \t \0 escaped and other control characters
// written as \u{hex}. Bytes that are not valid UTF-8 become U+FFFD.
std::string quoted_form(std::string_view text);

// Whether the bytes are well-formed UTF-8.
bool is_valid_utf8(std::string_view text);

}  // namespace tev
