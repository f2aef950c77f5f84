#include "unicode.h"

#include <array>
#include <utility>

#include "tev/common/text.h"

namespace tev::hfsplus {
namespace {

using FoldPair = std::pair<uint16_t, uint16_t>;

constexpr size_t kFoldRows = 119;

constexpr std::array<FoldPair, kFoldRows> make_fold_table() {
  std::array<FoldPair, kFoldRows> t{};
  size_t n = 0;
  auto add = [&](unsigned upper, unsigned lower) {
    t[n++] = {static_cast<uint16_t>(upper), static_cast<uint16_t>(lower)};
  };
  for (unsigned u = 0x41; u <= 0x5A; ++u) add(u, u + 0x20);
  for (unsigned u = 0xC0; u <= 0xDE; ++u)
    if (u != 0xD7) add(u, u + 0x20);
  for (unsigned u = 0x100; u <= 0x136; u += 2) add(u, u == 0x130 ? 0x69 : u + 1);
  for (unsigned u = 0x139; u <= 0x147; u += 2) add(u, u + 1);
  for (unsigned u = 0x14A; u <= 0x176; u += 2) add(u, u + 1);
  add(0x178, 0xFF);
  for (unsigned u = 0x179; u <= 0x17D; u += 2) add(u, u + 1);
  return n == kFoldRows ? t : throw "fold table rows";
}

constexpr auto kFoldTable = make_fold_table();

// Every folded unit lies below U+0180: a direct table for those, the units
// themselves above. Built from the rows above, which stay the definition.
constexpr uint16_t kFoldLimit = 0x180;

constexpr std::array<uint16_t, kFoldLimit> make_fold_index() {
  std::array<uint16_t, kFoldLimit> index{};
  for (unsigned u = 0; u < kFoldLimit; ++u) index[u] = static_cast<uint16_t>(u);
  for (const auto& [upper, lower] : kFoldTable) index[upper] = lower;
  return index;
}

constexpr auto kFoldIndex = make_fold_index();
static_assert(kFoldTable.back().first < kFoldLimit);

}  // namespace

uint16_t fold_case(uint16_t unit) { return unit < kFoldLimit ? kFoldIndex[unit] : unit; }

std::string name_to_utf8(std::span<const uint8_t> utf16be) {
  std::string out;
  out.reserve(utf16be.size() / 2);
  size_t count = utf16be.size() / 2;
  auto unit = [&](size_t k) { return static_cast<uint16_t>((utf16be[2 * k] << 8) | utf16be[2 * k + 1]); };
  for (size_t i = 0; i < count; ++i) {
    uint32_t u = unit(i);
    if (u >= 0xD800 && u <= 0xDBFF && i + 1 < count && unit(i + 1) >= 0xDC00 && unit(i + 1) <= 0xDFFF) {
      append_utf8(out, 0x10000 + ((u - 0xD800) << 10) + (unit(i + 1) - 0xDC00));
      ++i;
    } else if (u >= 0xD800 && u <= 0xDFFF) {
      append_utf8(out, 0xFFFD);
    } else {
      append_utf8(out, u == '/' ? ':' : u);
    }
  }
  return out;
}

std::vector<uint16_t> name_to_utf16(std::string_view utf8) {
  std::vector<uint16_t> out;
  out.reserve(utf8.size());
  for (size_t i = 0; i < utf8.size();) {
    uint32_t cp = next_scalar(utf8, i);
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out.push_back(static_cast<uint16_t>(0xD800 + (cp >> 10)));
      out.push_back(static_cast<uint16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
      out.push_back(static_cast<uint16_t>(cp == ':' ? '/' : cp));
    }
  }
  return out;
}

}  // namespace tev::hfsplus
