// Path rules and numeric fields of the CPIO reader.
#include <gtest/gtest.h>

#include "tev/common/text.h"
#include "tev/pbzx/cpio.h"
#include "tev/pbzx/cpio_writer.h"

namespace tev::pbzx {
namespace {

TEST(CpioPaths, NormaliseEntryNames) {
  const std::pair<const char*, const char*> cases[] = {
      {"./usr/bin", "usr/bin"}, {"./", ""}, {".", ""}, {"", ""}, {"/usr", "usr"},
      {"./.", ""},              {"//x", "/x"}, {"a/./b", "a/./b"}, {"./../x", "../x"},
  };
  for (auto [in, out] : cases) EXPECT_EQ(normalize_entry_path(in), out) << in;
}

TEST(CpioPaths, ValidateRelativePaths) {
  EXPECT_EQ(*validate_relative_path("///a/./b"), "a/./b");
  for (const char* bad : {"..", "a/..", "a/../b", "/../x"}) {
    auto r = validate_relative_path(bad);
    ASSERT_FALSE(r) << bad;
    EXPECT_EQ(r.error().kind(), PbzxError::Kind::InvalidPath);
  }
  EXPECT_EQ(validate_relative_path("/a/../../x").error().message(), "Invalid path: Path traversal detected: a/../../x");
  EXPECT_TRUE(validate_relative_path("..a/b.."));
}

std::vector<uint8_t> with_field(std::vector<uint8_t> entry, size_t at, const char* text) {
  for (size_t i = 0; text[i]; ++i) entry[at + i] = static_cast<uint8_t>(text[i]);
  return entry;
}

TEST(CpioReader, NumericFieldMessages) {
  CpioWriter w;
  w.add_directory("d", 0755);
  auto archive = std::move(w).finish();
  const std::pair<const char*, const char*> cases[] = {
      {"0000000G", "Invalid CPIO archive: Invalid hex value '0000000G': invalid digit found in string"},
      {"-0000001", "Invalid CPIO archive: Invalid hex value '-0000001': invalid digit found in string"},
      {"\xff" "0000000", "Invalid CPIO archive: Invalid UTF-8 in header: invalid utf-8 sequence of 1 bytes from index 0"},
  };
  for (auto [text, message] : cases) {
    auto entries = list_entries(with_field(archive, 14, text));
    ASSERT_FALSE(entries) << text;
    EXPECT_EQ(entries.error().message(), message);
  }
  // A leading "+" is accepted.
  auto plus = list_entries(with_field(archive, 14, "+00041ED"));
  ASSERT_TRUE(plus);
  EXPECT_TRUE((*plus)[0].is_dir);
}

TEST(CpioReader, NamePaddingFollowsTheNameSize) {
  // Names of 1..6 bytes: namesize 2..7, padding 0, 3, 2, 1, 0, 3.
  for (size_t n = 1; n <= 6; ++n) {
    CpioWriter w;
    std::string name(n, 'x');
    const uint8_t data[] = {1, 2, 3};
    ASSERT_TRUE(w.add_file(name, data, 0644));
    auto archive = std::move(w).finish();
    size_t expected = (110 + n + 1 + 3) / 4 * 4 + 4;
    EXPECT_EQ(archive.size(), expected + 124) << n;
    auto found = find_file(archive, name);
    ASSERT_TRUE(found);
    EXPECT_EQ(*found, std::vector<uint8_t>(data, data + 3));
  }
}

TEST(Utf8Error, DescribesTheFirstProblem) {
  EXPECT_FALSE(utf8_error("caf\xc3\xa9"));
  EXPECT_EQ(*utf8_error("ab\xff"), "invalid utf-8 sequence of 1 bytes from index 2");
  EXPECT_EQ(*utf8_error("a\xe2\x82"), "incomplete utf-8 byte sequence from index 1");
  EXPECT_EQ(*utf8_error("\xe2\x82x"), "invalid utf-8 sequence of 2 bytes from index 0");
  EXPECT_EQ(*utf8_error("\xc0\xaf"), "invalid utf-8 sequence of 1 bytes from index 0");
  EXPECT_EQ(*utf8_error("\xed\xa0\x80"), "invalid utf-8 sequence of 1 bytes from index 0");
}

}  // namespace
}  // namespace tev::pbzx
