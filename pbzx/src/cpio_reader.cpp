// CPIO archives in the three ASCII formats, "070701" and "070702" (hex
// fields, 4-byte alignment) and "070707" (octal fields, no alignment), and in
// the old binary format (16-bit words, 2-byte alignment).
#include <algorithm>
#include <charconv>
#include <limits>

#include <fmt/format.h>

#include "tev/common/byte_cursor.h"
#include "tev/common/text.h"
#include "tev/pbzx/cpio.h"

namespace tev::pbzx {
namespace {

constexpr size_t kMagicSize = 6;
constexpr size_t kNewHeaderSize = 110;
constexpr size_t kOldHeaderSize = 76;
constexpr size_t kBinaryHeaderSize = 26;

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

// Which format an entry's first bytes announce, or nullopt for none.
struct Magic {
  CpioFormat format;
  bool big_endian;  // the binary format's byte order
};

std::optional<Magic> magic_of(std::span<const uint8_t> b) {
  // The binary magic is 070707 (0x71C7) as a 16-bit word of the writing machine.
  if (b[0] == 0xC7 && b[1] == 0x71) return Magic{CpioFormat::OldBinary, false};
  if (b[0] == 0x71 && b[1] == 0xC7) return Magic{CpioFormat::OldBinary, true};
  std::string_view text(reinterpret_cast<const char*>(b.data()), kMagicSize);
  if (text == "070701") return Magic{CpioFormat::NewAscii, false};
  if (text == "070702") return Magic{CpioFormat::NewCrc, false};
  if (text == "070707") return Magic{CpioFormat::OldPortable, false};
  return std::nullopt;
}

// Bytes of padding after `length` bytes so that they end on the format's
// alignment.
size_t padding(CpioFormat format, uint64_t length) {
  switch (format) {
    case CpioFormat::NewAscii:
    case CpioFormat::NewCrc: return static_cast<size_t>((4 - length % 4) % 4);
    case CpioFormat::OldBinary: return static_cast<size_t>(length % 2);
    case CpioFormat::OldPortable: return 0;
  }
  return 0;
}

PbzxError bad_magic(size_t offset, std::span<const uint8_t> bytes) {
  std::string_view shown(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  return PbzxError::invalid_cpio(fmt::format("Invalid CPIO magic at offset {}: {}", offset, quoted_form(shown)));
}

}  // namespace

std::expected<std::span<const uint8_t>, PbzxError> CpioReader::take(uint64_t length) {
  if (length > data_.size() - pos_) return std::unexpected(short_read());
  auto out = data_.subspan(pos_, static_cast<size_t>(length));
  pos_ += static_cast<size_t>(length);
  return out;
}

std::expected<std::optional<CpioHeader>, PbzxError> CpioReader::next_entry() {
  const size_t start = pos_;
  const size_t left = data_.size() - pos_;
  if (left < kMagicSize) {
    // Too short for a header: the end of an archive, but input that stops
    // before its first header is not an archive at all.
    if (start == 0 && left > 0) return std::unexpected(bad_magic(start, data_));
    return std::optional<CpioHeader>();
  }
  auto magic = magic_of(data_.subspan(pos_, kMagicSize));
  if (!magic) return std::unexpected(bad_magic(start, data_.subspan(pos_, kMagicSize)));
  CpioHeader h;
  h.format = magic->format;
  format_ = h.format;
  auto fields = h.format == CpioFormat::OldBinary ? binary_fields(h, magic->big_endian) : ascii_fields(h);
  if (!fields) return std::unexpected(fields.error());

  auto name = take(h.namesize);
  if (!name) return std::unexpected(name.error());
  std::string_view n(reinterpret_cast<const char*>(name->data()), name->size());
  if (!n.empty() && n.back() == '\0') n.remove_suffix(1);
  // Names are bytes: archives made on other systems carry KOI8-R, CP866 or
  // EUC-JP names, which are listed and extracted as they are.
  h.name = std::string(n);
  // The header and the name together end on the format's alignment.
  if (auto r = take(padding(h.format, pos_ - start)); !r) return std::unexpected(r.error());
  return h;
}

std::expected<void, PbzxError> CpioReader::ascii_fields(CpioHeader& h) {
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
    return {};
  }
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
  return {};
}

// The old binary header: thirteen 16-bit words in the byte order of the
// machine that wrote it; mtime and filesize are two words each, the high one
// first.
std::expected<void, PbzxError> CpioReader::binary_fields(CpioHeader& h, bool big_endian) {
  auto header = take(kBinaryHeaderSize);
  if (!header) return std::unexpected(header.error());
  ByteCursor cursor(*header);
  uint32_t w[kBinaryHeaderSize / 2];
  for (uint32_t& word : w) {
    auto r = big_endian ? cursor.u16be() : cursor.u16le();
    if (!r) return std::unexpected(short_read());
    word = *r;
  }
  // Words: magic, dev, ino, mode, uid, gid, nlink, rdev, mtime (2), namesize,
  // filesize (2).
  h.devmajor = w[1] >> 8;
  h.devminor = w[1] & 0xFF;
  h.ino = w[2];
  h.mode = w[3];
  h.uid = w[4];
  h.gid = w[5];
  h.nlink = w[6];
  h.rdevmajor = w[7] >> 8;
  h.rdevminor = w[7] & 0xFF;
  h.mtime = w[8] << 16 | w[9];
  h.namesize = w[10];
  h.filesize = w[11] << 16 | w[12];
  return {};
}

std::expected<std::span<const uint8_t>, PbzxError> CpioReader::read_data(uint64_t length) {
  auto data = take(length);
  if (!data) return std::unexpected(data.error());
  if (auto r = take(padding(format_, length)); !r) return std::unexpected(r.error());
  return data;
}

std::expected<void, PbzxError> CpioReader::skip_data(uint64_t length) {
  auto r = read_data(length);
  if (!r) return std::unexpected(r.error());
  return {};
}

}  // namespace tev::pbzx
