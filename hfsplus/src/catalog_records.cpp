// Catalog keys and records as stored in the catalog file's leaf nodes.
#include <fmt/format.h>

#include "tev/common/byte_cursor.h"
#include "tev/hfsplus/catalog.h"
#include "tev/hfsplus/unicode.h"

namespace tev::hfsplus {
namespace {

enum RecordType : uint16_t { kFolder = 1, kFile = 2, kFolderThread = 3, kFileThread = 4 };
constexpr size_t kFolderSize = 84;
constexpr size_t kFileSize = 248;
constexpr uint32_t kHardLinkType = 0x686C6E6B;     // 'hlnk'
constexpr uint32_t kHardLinkCreator = 0x6866732B;  // 'hfs+'

std::unexpected<HfsError> short_read() { return std::unexpected(HfsError(IoError::unexpected_eof())); }

CatalogDates dates_at(std::span<const uint8_t> d) {
  return {load_be<uint32_t>(d, 12), load_be<uint32_t>(d, 16), load_be<uint32_t>(d, 20), load_be<uint32_t>(d, 24),
          load_be<uint32_t>(d, 28)};
}

BsdInfo bsd_at(std::span<const uint8_t> d) {
  return {load_be<uint32_t>(d, 32), load_be<uint32_t>(d, 36), d[40], d[41], load_be<uint16_t>(d, 42),
          load_be<uint32_t>(d, 44)};
}

}  // namespace

std::vector<uint16_t> CatalogKey::name_units() const {
  std::vector<uint16_t> units(name_length());
  for (size_t i = 0; i < units.size(); ++i) units[i] = unit(i);
  return units;
}

bool CatalogFile::is_hard_link() const { return file_type == kHardLinkType && file_creator == kHardLinkCreator; }

std::expected<CatalogKey, HfsError> decode_catalog_key(std::span<const uint8_t> record) {
  if (record.size() < 8) return std::unexpected(HfsError::invalid_btree("catalog key too short"));
  size_t key_length = load_be<uint16_t>(record, 0);
  size_t name_end = 8 + 2 * size_t{load_be<uint16_t>(record, 6)};
  if (name_end > record.size())
    return std::unexpected(HfsError::invalid_btree(fmt::format(
        "catalog key name extends beyond data: name_end={}, data_len={}", name_end, record.size())));
  CatalogKey key;
  key.parent_id = load_be<uint32_t>(record, 2);
  key.name = record.subspan(8, name_end - 8);
  key.data_offset = 2 + key_length + (key_length & 1);
  return key;
}

std::expected<CatalogRecord, HfsError> decode_catalog_record(std::span<const uint8_t> d) {
  if (d.size() < 2) return std::unexpected(HfsError::invalid_btree("catalog record too short"));
  uint16_t type = load_be<uint16_t>(d, 0);
  switch (type) {
    case kFolderThread:
    case kFileThread: {
      if (d.size() < 10) return short_read();
      size_t n = load_be<uint16_t>(d, 8);
      if (d.size() < 10 + 2 * n) return short_read();
      CatalogThread t;
      t.is_folder = type == kFolderThread;
      t.parent_id = load_be<uint32_t>(d, 4);
      t.name_units.resize(n);
      for (size_t i = 0; i < n; ++i) t.name_units[i] = load_be<uint16_t>(d, 10 + 2 * i);
      return t;
    }
    case kFolder: {
      if (d.size() < kFolderSize) return short_read();
      CatalogFolder f;
      f.valence = load_be<uint32_t>(d, 4);
      f.folder_id = load_be<uint32_t>(d, 8);
      f.dates = dates_at(d);
      f.bsd = bsd_at(d);
      f.text_encoding = load_be<uint32_t>(d, 80);
      return f;
    }
    case kFile: {
      if (d.size() < kFileSize) return short_read();
      CatalogFile f;
      f.file_id = load_be<uint32_t>(d, 8);
      f.dates = dates_at(d);
      f.bsd = bsd_at(d);
      f.file_type = load_be<uint32_t>(d, 48);
      f.file_creator = load_be<uint32_t>(d, 52);
      f.text_encoding = load_be<uint32_t>(d, 80);
      f.data_fork = decode_fork_data(d.subspan(88, ForkData::kSize));
      f.resource_fork = decode_fork_data(d.subspan(168, ForkData::kSize));
      return f;
    }
    default: break;
  }
  return std::unexpected(HfsError::invalid_btree(fmt::format("unknown catalog record type: 0x{:04X}", type)));
}

std::strong_ordering compare_catalog_key(std::span<const uint8_t> record, const CatalogSearchKey& key) {
  auto decoded = decode_catalog_key(record);
  if (!decoded) return std::strong_ordering::less;
  if (auto c = decoded->parent_id <=> key.parent_id; c != 0) return c;
  size_t n = std::min(decoded->name_length(), key.name.size());
  for (size_t i = 0; i < n; ++i) {
    uint16_t a = decoded->unit(i);
    uint16_t b = key.name[i];
    if (!key.is_hfsx) {
      a = fold_case(a);
      b = fold_case(b);
    }
    if (a != b) return a <=> b;
  }
  return decoded->name_length() <=> key.name.size();
}

}  // namespace tev::hfsplus
