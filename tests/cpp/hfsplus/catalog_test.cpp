#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "catalog.h"
#include "unicode.h"

namespace tev::hfsplus {
namespace {

// A catalog record's key bytes: key length, parent ID, name length, name.
std::vector<uint8_t> key_bytes(uint32_t parent, const std::u16string& name, int key_length = -1) {
  std::vector<uint8_t> out;
  uint16_t kl = key_length >= 0 ? static_cast<uint16_t>(key_length) : static_cast<uint16_t>(6 + 2 * name.size());
  out = {static_cast<uint8_t>(kl >> 8), static_cast<uint8_t>(kl), static_cast<uint8_t>(parent >> 24),
         static_cast<uint8_t>(parent >> 16), static_cast<uint8_t>(parent >> 8), static_cast<uint8_t>(parent),
         static_cast<uint8_t>(name.size() >> 8), static_cast<uint8_t>(name.size())};
  for (char16_t c : name) {
    out.push_back(static_cast<uint8_t>(c >> 8));
    out.push_back(static_cast<uint8_t>(c));
  }
  return out;
}

TEST(CatalogKeys, DecodeAndDataOffset) {
  auto bytes = key_bytes(2, u"ab");
  auto key = decode_catalog_key(bytes);
  ASSERT_TRUE(key);
  EXPECT_EQ(key->parent_id, 2u);
  EXPECT_EQ(key->name_units(), (std::vector<uint16_t>{'a', 'b'}));
  EXPECT_EQ(key->data_offset, 12u);
  // The data offset follows the key length field, rounded up to even.
  bytes = key_bytes(2, u"ab", 11);
  EXPECT_EQ(decode_catalog_key(bytes)->data_offset, 14u);
  EXPECT_EQ(decode_catalog_key(std::vector<uint8_t>(7)).error().message(), "invalid B-tree: catalog key too short");
  bytes = key_bytes(2, u"abc");
  bytes.pop_back();
  EXPECT_EQ(decode_catalog_key(bytes).error().message(),
            "invalid B-tree: catalog key name extends beyond data: name_end=14, data_len=13");
}

TEST(CatalogRecords, TypesAndShortRecords) {
  std::vector<uint8_t> type5 = {0, 5, 0, 0};
  EXPECT_EQ(decode_catalog_record(type5).error().message(), "invalid B-tree: unknown catalog record type: 0x0005");
  EXPECT_EQ(decode_catalog_record(std::vector<uint8_t>{0}).error().message(), "invalid B-tree: catalog record too short");
  std::vector<uint8_t> thread = {0, 3, 0, 0, 0, 0, 0, 1, 0, 2, 0, 'x'};
  EXPECT_EQ(decode_catalog_record(thread).error().message(), "corrupted data: catalog thread record too short: 12 bytes");
  thread.insert(thread.end(), {0, 'y'});
  auto t = std::get<CatalogThread>(*decode_catalog_record(thread));
  EXPECT_EQ(t.parent_id, 1u);
  EXPECT_EQ(t.name_units, (std::vector<uint16_t>{'x', 'y'}));
  std::vector<uint8_t> folder(83, 0);
  folder[1] = 1;
  EXPECT_EQ(decode_catalog_record(folder).error().message(), "corrupted data: catalog folder record too short: 83 bytes");
  folder.push_back(0);
  EXPECT_TRUE(std::holds_alternative<CatalogFolder>(*decode_catalog_record(folder)));
  std::vector<uint8_t> file(247, 0);
  file[1] = 2;
  EXPECT_EQ(decode_catalog_record(file).error().message(), "corrupted data: catalog file record too short: 247 bytes");
}

TEST(CatalogOrder, FoldedOnHfsPlusRawOnHfsx) {
  auto record = key_bytes(7, u"Apps");
  auto key = [](uint32_t parent, std::u16string name, bool hfsx) {
    return CatalogSearchKey{parent, std::vector<uint16_t>(name.begin(), name.end()), hfsx};
  };
  EXPECT_EQ(compare_catalog_key(record, key(7, u"APPS", false)), std::strong_ordering::equal);
  EXPECT_EQ(compare_catalog_key(record, key(7, u"APPS", true)), std::strong_ordering::greater);
  EXPECT_EQ(compare_catalog_key(record, key(8, u"a", false)), std::strong_ordering::less);
  EXPECT_EQ(compare_catalog_key(record, key(7, u"apps2", false)), std::strong_ordering::less);
  EXPECT_EQ(compare_catalog_key(record, key(7, u"app", false)), std::strong_ordering::greater);
  // U+0130 folds to 'i'; U+0131 folds to nothing else.
  auto dotted = key_bytes(7, u"\u0130");
  EXPECT_EQ(compare_catalog_key(dotted, key(7, u"I", false)), std::strong_ordering::equal);
  EXPECT_NE(compare_catalog_key(key_bytes(7, u"\u0131"), key(7, u"I", false)), std::strong_ordering::equal);
  // A precomposed letter is not its decomposed form.
  EXPECT_NE(compare_catalog_key(key_bytes(7, u"E\u0301"), key(7, u"\u00C9", false)), std::strong_ordering::equal);
  // A key that does not decode is less than anything.
  EXPECT_EQ(compare_catalog_key(std::vector<uint8_t>(3), key(0, u"", false)), std::strong_ordering::less);
}

TEST(CaseFolding, TableRows) {
  struct Row { uint16_t in, out; };
  for (Row r : std::initializer_list<Row>{{'A', 'a'}, {'Z', 'z'}, {'a', 'a'}, {0xC0, 0xE0}, {0xD7, 0xD7},
                                          {0xDE, 0xFE}, {0x100, 0x101}, {0x130, 0x69}, {0x131, 0x131},
                                          {0x136, 0x137}, {0x138, 0x138}, {0x139, 0x13A}, {0x147, 0x148},
                                          {0x149, 0x149}, {0x14A, 0x14B}, {0x176, 0x177}, {0x178, 0xFF},
                                          {0x17D, 0x17E}, {0x17F, 0x17F}, {0x391, 0x391}})
    EXPECT_EQ(fold_case(r.in), r.out) << std::hex << r.in;
}

TEST(Names, ColonsAndSurrogates) {
  std::vector<uint8_t> stored = {0, 'a', 0, '/', 0, 'b', 0xD8, 0x00, 0, 'c', 0xD8, 0x3D, 0xDE, 0x00};
  EXPECT_EQ(name_to_utf8(stored), "a:b\xEF\xBF\xBD" "c\xF0\x9F\x98\x80");
  EXPECT_EQ(name_to_utf16("a:b\xF0\x9F\x98\x80"), (std::vector<uint16_t>{'a', '/', 'b', 0xD83D, 0xDE00}));
  EXPECT_EQ(name_to_utf16("caf\xC3\xA9"), (std::vector<uint16_t>{'c', 'a', 'f', 0xE9}));
}

TEST(HfsErrors, Messages) {
  EXPECT_EQ(HfsError::invalid_signature(0).message(), "invalid HFS+ signature: 0x0000 (expected 0x482B or 0x4858)");
  EXPECT_EQ(HfsError::invalid_signature(0x4244).message(),
            "invalid HFS+ signature: 0x4244 (expected 0x482B or 0x4858)");
  EXPECT_EQ(HfsError::unsupported_version(3).message(), "unsupported version: 3");
  EXPECT_EQ(HfsError::not_a_directory("a/b").message(), "not a directory: a/b");
  EXPECT_EQ(HfsError(IoError::unexpected_eof()).message(), "I/O error: failed to fill whole buffer");
}

}  // namespace
}  // namespace tev::hfsplus
