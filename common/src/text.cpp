#include "tev/common/text.h"

#include <cstdint>

#include <fmt/format.h>

namespace tev {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

bool is_control(char32_t c) { return c < 0x20 || (c >= 0x7F && c <= 0x9F); }

}  // namespace

char32_t next_scalar(std::string_view text, size_t& pos) {
  auto byte = [&](size_t i) { return static_cast<uint8_t>(text[i]); };
  uint8_t lead = byte(pos);
  if (lead < 0x80) {
    ++pos;
    return lead;
  }
  size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 0;
  if (length == 0 || lead > 0xF4 || pos + length > text.size()) {
    ++pos;
    return kReplacement;
  }
  char32_t value = lead & (0x7F >> length);
  for (size_t i = 1; i < length; ++i) {
    uint8_t next = byte(pos + i);
    if ((next & 0xC0) != 0x80) {
      ++pos;
      return kReplacement;
    }
    value = (value << 6) | (next & 0x3F);
  }
  static constexpr char32_t kMinimum[] = {0, 0, 0x80, 0x800, 0x10000};
  if (value < kMinimum[length] || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) {
    ++pos;
    return kReplacement;
  }
  pos += length;
  return value;
}

void append_utf8(std::string& out, char32_t c) {
  if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) c = kReplacement;
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

std::string utf8_lossy(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t pos = 0; pos < text.size();) append_utf8(out, next_scalar(text, pos));
  return out;
}

std::string quoted_form(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  out += '"';
  size_t pos = 0;
  while (pos < text.size()) {
    char32_t c = next_scalar(text, pos);
    switch (c) {
      case U'"': out += "\\\""; break;
      case U'\\': out += "\\\\"; break;
      case U'\n': out += "\\n"; break;
      case U'\r': out += "\\r"; break;
      case U'\t': out += "\\t"; break;
      case U'\0': out += "\\0"; break;
      default:
        if (is_control(c)) {
          out += fmt::format("\\u{{{:x}}}", static_cast<unsigned>(c));
        } else {
          append_utf8(out, c);
        }
    }
  }
  out += '"';
  return out;
}


std::optional<std::string> utf8_error(std::string_view text) {
  auto byte = [&](size_t i) { return static_cast<uint8_t>(text[i]); };
  size_t i = 0;
  while (i < text.size()) {
    uint8_t lead = byte(i);
    if (lead < 0x80) {
      ++i;
      continue;
    }
    size_t width = lead >= 0xC2 && lead <= 0xDF ? 2 : lead >= 0xE0 && lead <= 0xEF ? 3 : lead >= 0xF0 && lead <= 0xF4 ? 4 : 0;
    if (width == 0) return fmt::format("invalid utf-8 sequence of 1 bytes from index {}", i);
    // The second byte's range depends on the lead byte (no overlong forms,
    // no surrogates, nothing past U+10FFFF).
    uint8_t lo = 0x80, hi = 0xBF;
    if (lead == 0xE0) lo = 0xA0;
    if (lead == 0xED) hi = 0x9F;
    if (lead == 0xF0) lo = 0x90;
    if (lead == 0xF4) hi = 0x8F;
    for (size_t k = 1; k < width; ++k) {
      if (i + k >= text.size()) return fmt::format("incomplete utf-8 byte sequence from index {}", i);
      uint8_t c = byte(i + k);
      bool ok = k == 1 ? (c >= lo && c <= hi) : (c >= 0x80 && c <= 0xBF);
      if (!ok) return fmt::format("invalid utf-8 sequence of {} bytes from index {}", k, i);
    }
    i += width;
  }
  return std::nullopt;
}

}  // namespace tev
