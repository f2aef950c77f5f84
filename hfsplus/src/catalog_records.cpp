// Catalog keys and records as stored in the catalog file's leaf nodes.
#include <fmt/format.h>

#include "tev/common/byte_cursor.h"

#include "catalog.h"
#include "unicode.h"

namespace tev::hfsplus {
namespace {

enum RecordType : uint16_t { kFolder = 1, kFile = 2, kFolderThread = 3, kFileThread = 4 };
constexpr size_t kFolderSize = 84;
constexpr size_t kFileSize = 248;
constexpr uint32_t kHardLinkType = 0x686C6E6B;     // 'hlnk'
constexpr uint32_t kHardLinkCreator = 0x6866732B;  // 'hfs+'

// The record lies whole in a node already read: a shorter one is damage in
// the catalog, not a failed read.
std::unexpected<HfsError> too_short(std::string_view what, size_t size) {
  return std::unexpected(HfsError::corrupted(fmt::format("catalog {} record too short: {} bytes", what, size)));
}

// Folder and file records share their first 80 bytes' layout of dates and
// BSD information.
constexpr size_t kCommonSize = 84;
using Common = StructView<kCommonSize>;

CatalogDates dates_at(Common d) {
  return {d.be<uint32_t, 12>(), d.be<uint32_t, 16>(), d.be<uint32_t, 20>(), d.be<uint32_t, 24>(),
          d.be<uint32_t, 28>()};
}

BsdInfo bsd_at(Common d) {
  return {d.be<uint32_t, 32>(), d.be<uint32_t, 36>(), d.be<uint8_t, 40>(), d.be<uint8_t, 41>(),
          d.be<uint16_t, 42>(), d.be<uint32_t, 44>()};
}

}  // namespace

std::vector<uint16_t> CatalogKey::name_units() const {
  std::vector<uint16_t> units(name_length());
  for (size_t i = 0; i < units.size(); ++i) units[i] = unit(i);
  return units;
}

bool CatalogFile::is_hard_link() const { return file_type == kHardLinkType && file_creator == kHardLinkCreator; }

std::expected<CatalogKey, HfsError> decode_catalog_key(std::span<const uint8_t> record) {
  auto head = StructView<8>::of(record);
  if (!head) return std::unexpected(HfsError::invalid_btree("catalog key too short"));
  size_t key_length = head->be<uint16_t, 0>();
  size_t name_end = 8 + 2 * size_t{head->be<uint16_t, 6>()};
  if (name_end > record.size())
    return std::unexpected(HfsError::invalid_btree(fmt::format(
        "catalog key name extends beyond data: name_end={}, data_len={}", name_end, record.size())));
  CatalogKey key;
  key.parent_id = head->be<uint32_t, 2>();
  key.name = record.subspan(8, name_end - 8);
  key.data_offset = 2 + key_length + (key_length & 1);
  return key;
}

std::expected<CatalogRecord, HfsError> decode_catalog_record(std::span<const uint8_t> d) {
  auto type_field = read_be<uint16_t>(d, 0);
  if (!type_field) return std::unexpected(HfsError::invalid_btree("catalog record too short"));
  const uint16_t type = *type_field;
  switch (type) {
    case kFolderThread:
    case kFileThread: {
      auto head = StructView<10>::of(d);
      if (!head) return too_short("thread", d.size());
      size_t n = head->be<uint16_t, 8>();
      ByteCursor name(d, 10);
      if (name.remaining() < 2 * n) return too_short("thread", d.size());
      CatalogThread t;
      t.is_folder = type == kFolderThread;
      t.parent_id = head->be<uint32_t, 4>();
      t.name_units.resize(n);
      for (auto& unit : t.name_units) unit = *name.u16be();
      return t;
    }
    case kFolder: {
      auto v = StructView<kFolderSize>::of(d);
      if (!v) return too_short("folder", d.size());
      CatalogFolder f;
      f.valence = v->be<uint32_t, 4>();
      f.folder_id = v->be<uint32_t, 8>();
      f.dates = dates_at(v->sub<0, kCommonSize>());
      f.bsd = bsd_at(v->sub<0, kCommonSize>());
      f.text_encoding = v->be<uint32_t, 80>();
      return f;
    }
    case kFile: {
      auto v = StructView<kFileSize>::of(d);
      if (!v) return too_short("file", d.size());
      CatalogFile f;
      f.file_id = v->be<uint32_t, 8>();
      f.dates = dates_at(v->sub<0, kCommonSize>());
      f.bsd = bsd_at(v->sub<0, kCommonSize>());
      f.file_type = v->be<uint32_t, 48>();
      f.file_creator = v->be<uint32_t, 52>();
      f.text_encoding = v->be<uint32_t, 80>();
      f.data_fork = decode_fork_data(v->sub<88, ForkData::kSize>());
      f.resource_fork = decode_fork_data(v->sub<168, ForkData::kSize>());
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
