#include "tev/common/base64.h"

#include <array>

namespace tev {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr int8_t kInvalid = -1;

constexpr std::array<int8_t, 256> make_decode_table() {
  std::array<int8_t, 256> table{};
  table.fill(kInvalid);
  for (int i = 0; i < 64; ++i) table[static_cast<uint8_t>(kAlphabet[i])] = static_cast<int8_t>(i);
  return table;
}

constexpr auto kDecode = make_decode_table();

}  // namespace

std::string base64_encode(std::span<const uint8_t> bytes) {
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    uint32_t group = (bytes[i] << 16) | (bytes[i + 1] << 8) | bytes[i + 2];
    out += kAlphabet[group >> 18];
    out += kAlphabet[(group >> 12) & 63];
    out += kAlphabet[(group >> 6) & 63];
    out += kAlphabet[group & 63];
  }
  size_t rest = bytes.size() - i;
  if (rest > 0) {
    uint32_t group = bytes[i] << 16;
    if (rest == 2) group |= bytes[i + 1] << 8;
    out += kAlphabet[group >> 18];
    out += kAlphabet[(group >> 12) & 63];
    out += rest == 2 ? kAlphabet[(group >> 6) & 63] : '=';
    out += '=';
  }
  return out;
}

std::optional<std::vector<uint8_t>> base64_decode(std::string_view text) {
  if (text.size() % 4 != 0) return std::nullopt;
  std::vector<uint8_t> out;
  out.reserve(text.size() / 4 * 3);
  for (size_t i = 0; i < text.size(); i += 4) {
    bool last = i + 4 == text.size();
    size_t padding = 0;
    if (last) padding = text[i + 3] == '=' ? (text[i + 2] == '=' ? 2 : 1) : 0;
    uint32_t group = 0;
    for (size_t j = 0; j < 4 - padding; ++j) {
      int8_t value = kDecode[static_cast<uint8_t>(text[i + j])];
      if (value == kInvalid) return std::nullopt;
      group |= static_cast<uint32_t>(value) << (18 - 6 * j);
    }
    out.push_back(static_cast<uint8_t>(group >> 16));
    if (padding == 2) {
      if (group & 0xFFFF) return std::nullopt;
      break;
    }
    out.push_back(static_cast<uint8_t>(group >> 8));
    if (padding == 1) {
      if (group & 0xFF) return std::nullopt;
      break;
    }
    out.push_back(static_cast<uint8_t>(group));
  }
  return out;
}

}  // namespace tev
