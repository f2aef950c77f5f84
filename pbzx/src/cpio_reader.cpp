// CPIO archives in the three ASCII formats: "070701" and "070702" (hex
// fields, 4-byte alignment) and "070707" (octal fields, no alignment).
#include <algorithm>
#include <charconv>
#include <limits>

#include <fmt/format.h>

#include "tev/common/text.h"
#include "tev/pbzx/cpio.h"

namespace tev::pbzx {
namespace {

constexpr size_t kMagicSize = 6;
constexpr size_t kNewHeaderSize = 110;
constexpr size_t kOldHeaderSize = 76;

std::string_view trim(std::string_view s) {
  auto space = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v'; };
  while (!s.empty() && space(s.front())) s.remove_prefix(1);
  while (!s.empty() && space(s.back())) s.remove_suffix(1);
  return s;
}

// Integer parsing with the usual messages: an optional "+", then digits.
template <class T>
std::expected<T, std::string> parse_unsigned(std::string_view text, int base) {
  if (text.empty()) return std::unexpected("cannot parse integer from empty string");
  std::string_view digits = text;
  if (digits.front() == '+') {
    digits.remove_prefix(1);
    if (digits.empty()) return std::unexpected("invalid digit found in string");
  }
  T value = 0;
  for (char c : digits) {
    int d = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'z' ? c - 'a' + 10 : c >= 'A' && c <= 'Z' ? c - 'A' + 10 : 99;
    if (d >= base) return std::unexpected("invalid digit found in string");
  }
  for (char c : digits) {
    int d = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'z' ? c - 'a' + 10 : c - 'A' + 10;
    if (value > (std::numeric_limits<T>::max() - static_cast<T>(d)) / static_cast<T>(base))
      return std::unexpected("number too large to fit in target type");
    value = static_cast<T>(value * static_cast<T>(base) + static_cast<T>(d));
  }
  return value;
}

template <class T>
std::expected<T, PbzxError> field(std::span<const uint8_t> header, size_t at, size_t width, int base) {
  std::string_view raw(reinterpret_cast<const char*>(header.data() + at), width);
  if (auto bad = utf8_error(raw)) return std::unexpected(PbzxError::invalid_cpio("Invalid UTF-8 in header: " + *bad));
  std::string_view text = base == 8 ? trim(raw) : raw;
  auto value = parse_unsigned<T>(text, base);
  if (!value)
    return std::unexpected(PbzxError::invalid_cpio(
        fmt::format("Invalid {} value '{}': {}", base == 8 ? "octal" : "hex", text, value.error())));
  return *value;
}

PbzxError short_read() { return PbzxError(IoError::unexpected_eof()); }

}  // namespace

std::expected<std::span<const uint8_t>, PbzxError> CpioReader::take(uint64_t length) {
  if (length > data_.size() - pos_) return std::unexpected(short_read());
  auto out = data_.subspan(pos_, static_cast<size_t>(length));
  pos_ += static_cast<size_t>(length);
  return out;
}

std::expected<std::optional<CpioHeader>, PbzxError> CpioReader::next_entry() {
  if (data_.size() - pos_ < kMagicSize) return std::optional<CpioHeader>();
  const size_t start = pos_;
  std::string_view magic(reinterpret_cast<const char*>(data_.data() + pos_), kMagicSize);
  CpioHeader h;
  if (magic == "070701") h.format = CpioFormat::NewAscii;
  else if (magic == "070702") h.format = CpioFormat::NewCrc;
  else if (magic == "070707") h.format = CpioFormat::OldPortable;
  else return std::unexpected(PbzxError::invalid_cpio(fmt::format("Invalid CPIO magic at offset {}: {}", start, quoted_form(magic))));
  format_ = h.format;
  bool is_new = h.format != CpioFormat::OldPortable;
  auto header = take(is_new ? kNewHeaderSize : kOldHeaderSize);
  if (!header) return std::unexpected(header.error());
  std::span<const uint8_t> b = *header;

  if (is_new) {
    uint32_t* fields[] = {&h.ino, &h.mode, &h.uid, &h.gid, &h.nlink, nullptr, nullptr,
                          &h.devmajor, &h.devminor, &h.rdevmajor, &h.rdevminor, &h.namesize, &h.check};
    for (size_t i = 0; i < 13; ++i) {
      auto v = field<uint32_t>(b, 6 + 8 * i, 8, 16);
      if (!v) return std::unexpected(v.error());
      if (i == 5) h.mtime = *v;
      else if (i == 6) h.filesize = *v;
      else *fields[i] = *v;
    }
  } else {
    struct Field {
      size_t at, width;
    };
    static constexpr Field kFields[] = {{6, 6},  {12, 6}, {18, 6}, {24, 6}, {30, 6},
                                        {36, 6}, {42, 6}, {48, 11}, {59, 6}, {65, 11}};
    uint64_t values[10];
    for (size_t i = 0; i < 10; ++i) {
      if (kFields[i].width == 11) {
        auto v = field<uint64_t>(b, kFields[i].at, 11, 8);
        if (!v) return std::unexpected(v.error());
        values[i] = *v;
      } else {
        auto v = field<uint32_t>(b, kFields[i].at, 6, 8);
        if (!v) return std::unexpected(v.error());
        values[i] = *v;
      }
    }
    uint32_t dev = static_cast<uint32_t>(values[0]), rdev = static_cast<uint32_t>(values[6]);
    h.devmajor = dev >> 8;
    h.devminor = dev & 0xFF;
    h.ino = static_cast<uint32_t>(values[1]);
    h.mode = static_cast<uint32_t>(values[2]);
    h.uid = static_cast<uint32_t>(values[3]);
    h.gid = static_cast<uint32_t>(values[4]);
    h.nlink = static_cast<uint32_t>(values[5]);
    h.rdevmajor = rdev >> 8;
    h.rdevminor = rdev & 0xFF;
    h.mtime = values[7];
    h.namesize = static_cast<uint32_t>(values[8]);
    h.filesize = values[9];
  }

  auto name = take(h.namesize);
  if (!name) return std::unexpected(name.error());
  std::string_view n(reinterpret_cast<const char*>(name->data()), name->size());
  if (!n.empty() && n.back() == '\0') n.remove_suffix(1);
  if (auto bad = utf8_error(n)) return std::unexpected(PbzxError::invalid_cpio("Invalid filename: " + *bad));
  h.name = std::string(n);
  if (is_new) {
    size_t pad = (4 - (kNewHeaderSize + h.namesize) % 4) % 4;
    if (auto r = take(pad); !r) return std::unexpected(r.error());
  }
  return h;
}

std::expected<std::span<const uint8_t>, PbzxError> CpioReader::read_data(uint64_t length) {
  auto data = take(length);
  if (!data) return std::unexpected(data.error());
  if (format_ != CpioFormat::OldPortable) {
    if (auto r = take((4 - length % 4) % 4); !r) return std::unexpected(r.error());
  }
  return data;
}

std::expected<void, PbzxError> CpioReader::skip_data(uint64_t length) {
  auto r = read_data(length);
  if (!r) return std::unexpected(r.error());
  return {};
}

}  // namespace tev::pbzx
