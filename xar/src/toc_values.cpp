#include "toc_values.h"

#include "tev/common/text.h"

namespace tev::xar {
namespace {

bool is_space(char32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
         c == 0x3000;
}

// Days from 1970-01-01 to a proleptic Gregorian date.
int64_t days_from_civil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

std::optional<unsigned> digits(std::string_view text, size_t at, size_t count) {
  if (at + count > text.size()) return std::nullopt;
  unsigned value = 0;
  for (size_t i = at; i < at + count; ++i) {
    if (text[i] < '0' || text[i] > '9') return std::nullopt;
    value = value * 10 + static_cast<unsigned>(text[i] - '0');
  }
  return value;
}

}  // namespace

std::string_view trim_space(std::string_view text) {
  auto ascii_space = [](char c) { return c == ' ' || (c >= '\t' && c <= '\r'); };
  // Most texts are plain ASCII with nothing to trim or only ASCII blanks.
  size_t b = 0, e = text.size();
  while (b < e && ascii_space(text[b])) ++b;
  while (e > b && ascii_space(text[e - 1])) --e;
  if (b == e) return text.substr(b, 0);
  if (static_cast<unsigned char>(text[b]) < 0x80 && static_cast<unsigned char>(text[e - 1]) < 0x80)
    return text.substr(b, e - b);
  size_t begin = 0;
  while (begin < text.size()) {
    size_t next = begin;
    if (!is_space(next_scalar(text, next))) break;
    begin = next;
  }
  size_t end = begin;
  for (size_t pos = begin; pos < text.size();) {
    if (!is_space(next_scalar(text, pos))) end = pos;
  }
  return text.substr(begin, end - begin);
}

std::expected<uint64_t, std::string> parse_u64(std::string_view text) {
  std::string_view t = trim_space(text);
  if (t.empty()) return std::unexpected("cannot parse integer from empty string");
  if (t.front() == '+') t.remove_prefix(1);
  if (t.empty()) return std::unexpected("invalid digit found in string");
  uint64_t value = 0;
  bool overflow = false;
  for (char c : t) {
    if (c < '0' || c > '9') return std::unexpected("invalid digit found in string");
    auto digit = static_cast<uint64_t>(c - '0');
    if (value > (UINT64_MAX - digit) / 10) overflow = true;
    value = value * 10 + digit;
  }
  if (overflow) return std::unexpected("number too large to fit in target type");
  return value;
}

std::optional<uint32_t> parse_mode(std::string_view text) {
  std::string_view t = trim_space(text);
  if (t.empty()) return std::nullopt;
  // Leading zeros are allowed; a value past the type and permission bits of
  // a mode is not a mode, and is left out rather than cut to fit.
  uint32_t value = 0;
  for (char c : t) {
    if (c < '0' || c > '7') return std::nullopt;
    value = value * 8 + static_cast<uint32_t>(c - '0');
    if (value > kMaxMode) return std::nullopt;
  }
  return value;
}

std::optional<uint32_t> parse_id(std::string_view text) {
  auto v = parse_u64(text);
  if (!v || *v > UINT32_MAX) return std::nullopt;
  return static_cast<uint32_t>(*v);
}

std::optional<int64_t> parse_time(std::string_view text) {
  std::string_view t = trim_space(text);
  // YYYY-MM-DDTHH:MM:SS, then nothing, "Z" or a fraction.
  if (t.size() < 19 || t[4] != '-' || t[7] != '-' || t[10] != 'T' || t[13] != ':' || t[16] != ':')
    return std::nullopt;
  auto y = digits(t, 0, 4), mo = digits(t, 5, 2), d = digits(t, 8, 2);
  auto h = digits(t, 11, 2), mi = digits(t, 14, 2), s = digits(t, 17, 2);
  if (!y || !mo || !d || !h || !mi || !s) return std::nullopt;
  if (*mo < 1 || *mo > 12 || *d < 1 || *d > 31 || *h > 23 || *mi > 59 || *s > 60) return std::nullopt;
  std::string_view rest = t.substr(19);
  if (rest.starts_with('.')) {  // a fraction of a second, dropped
    size_t n = 1;
    while (n < rest.size() && rest[n] >= '0' && rest[n] <= '9') ++n;
    if (n == 1) return std::nullopt;
    rest.remove_prefix(n);
  }
  if (!rest.empty() && rest != "Z") return std::nullopt;
  return days_from_civil(*y, *mo, *d) * 86400 + *h * 3600 + *mi * 60 + *s;
}

}  // namespace tev::xar
