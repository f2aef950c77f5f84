// Path rules, formats and numeric fields of the CPIO reader.
#include <gtest/gtest.h>

#include <dirent.h>
#include <unistd.h>

#include <cstdlib>
#include <set>

#include <fmt/format.h>

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

// Hand-written entries, so that each test shows the bytes it is about.
std::vector<uint8_t> bytes_of(std::string_view text) { return {text.begin(), text.end()}; }

std::vector<uint8_t> newc(std::string_view name, std::string_view data, uint32_t mode = 0100644,
                          uint64_t declared_size = UINT64_MAX) {
  uint64_t size = declared_size == UINT64_MAX ? data.size() : declared_size;
  std::string h = fmt::format("070701{:08X}{:08X}{:08X}{:08X}{:08X}{:08X}{:08X}{:08X}{:08X}{:08X}{:08X}{:08X}{:08X}", 1,
                              mode, 0, 0, 1, 0, size, 0, 0, 0, 0, name.size() + 1, 0);
  h += name;
  h += '\0';
  h.resize((h.size() + 3) / 4 * 4, '\0');
  h += data;
  h.resize((h.size() + 3) / 4 * 4, '\0');
  return bytes_of(h);
}

// An old binary entry: 16-bit words in the given byte order.
std::vector<uint8_t> binary(bool big_endian, std::string_view name, std::string_view data, uint32_t mode,
                            uint32_t mtime = 0x12345678) {
  const uint32_t words[] = {070707, 0x0801, 7, mode, 501, 20, 1, 0, mtime >> 16, mtime & 0xFFFF,
                            static_cast<uint32_t>(name.size() + 1), static_cast<uint32_t>(data.size() >> 16),
                            static_cast<uint32_t>(data.size() & 0xFFFF)};
  std::vector<uint8_t> out;
  for (uint32_t w : words) {
    uint8_t hi = static_cast<uint8_t>(w >> 8), lo = static_cast<uint8_t>(w);
    out.push_back(big_endian ? hi : lo);
    out.push_back(big_endian ? lo : hi);
  }
  out.insert(out.end(), name.begin(), name.end());
  out.push_back(0);
  if (out.size() % 2) out.push_back(0);
  out.insert(out.end(), data.begin(), data.end());
  if (out.size() % 2) out.push_back(0);
  return out;
}

std::vector<uint8_t> concat(std::initializer_list<std::vector<uint8_t>> parts) {
  std::vector<uint8_t> out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

struct TempDir {
  std::string path;
  TempDir() {
    char tmpl[] = "/tmp/tev-cpio-XXXXXX";
    path = mkdtemp(tmpl);
  }
  ~TempDir() { std::system(("rm -rf '" + path + "'").c_str()); }
  std::set<std::string> names() const {
    std::set<std::string> out;
    DIR* d = opendir(path.c_str());
    while (dirent* e = d ? readdir(d) : nullptr)
      if (std::string_view(e->d_name) != "." && std::string_view(e->d_name) != "..") out.insert(e->d_name);
    if (d) closedir(d);
    return out;
  }
};

TEST(CpioFormats, BytesWithoutAMagicAreNotAnArchive) {
  const std::pair<std::vector<uint8_t>, const char*> cases[] = {
      {bytes_of("hello worldhello worldhello world"), "\"hello \""},
      {std::vector<uint8_t>(512, 0), "\"\\0\\0\\0\\0\\0\\0\""},
      {{0x1f, 0x8b, 0x08, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x03}, "\"\\u{1f}\xef\xbf\xbd\\u{8}\\0\\0\\0\""},
      {bytes_of("0707"), "\"0707\""},  // shorter than any header
  };
  for (const auto& [input, shown] : cases) {
    const std::string message = std::string("Invalid CPIO archive: Invalid CPIO magic at offset 0: ") + shown;
    auto listed = list_entries(input);
    ASSERT_FALSE(listed) << shown;
    EXPECT_EQ(listed.error().kind(), PbzxError::Kind::InvalidCpio);
    EXPECT_EQ(listed.error().message(), message);
    EXPECT_EQ(find_file(input, "x").error().message(), message);
    TempDir dest;
    EXPECT_EQ(extract_tree(input, "/", dest.path + "/out").error().message(), message);
  }
  // Nothing at all is an empty archive.
  auto empty = list_entries({});
  ASSERT_TRUE(empty);
  EXPECT_TRUE(empty->empty());
}

TEST(CpioFormats, OldBinaryInEitherByteOrder) {
  for (bool big_endian : {false, true}) {
    auto archive = concat({binary(big_endian, "d", "", 040755), binary(big_endian, "d/odd", "abc", 0100644),
                           binary(big_endian, "ln", "odd", 0120777), binary(big_endian, "TRAILER!!!", "", 0)});
    auto entries = list_entries(archive);
    ASSERT_TRUE(entries) << entries.error().message();
    ASSERT_EQ(entries->size(), 3u);
    EXPECT_TRUE((*entries)[0].is_dir);
    const CpioEntry& file = (*entries)[1];
    EXPECT_EQ(file.path, "d/odd");
    EXPECT_EQ(file.size, 3u);
    EXPECT_EQ(file.mode, 0100644u);
    EXPECT_EQ(file.mtime, 0x12345678u);  // high word first
    EXPECT_EQ(file.uid, 501u);
    EXPECT_EQ((*entries)[2].link_target, "odd");
    EXPECT_EQ(*find_file(archive, "d/odd"), bytes_of("abc"));
    // A short header is a short read, as in the other formats.
    auto cut = std::vector<uint8_t>(archive.begin(), archive.begin() + 20);
    EXPECT_EQ(list_entries(cut).error().kind(), PbzxError::Kind::Io);
  }
}

TEST(CpioFormats, NamesAreBytesInAnyEncoding) {
  const std::string koi8 = "\xf0\xd2\xc9\xd7\xc5\xd4";  // "Привет" in KOI8-R
  const std::string eucjp = "\xc6\xfc\xcb\xdc";           // "日本" in EUC-JP
  auto archive = concat({newc(koi8, "ru"), newc(eucjp, "jp"), newc("l", koi8, 0120777), newc("TRAILER!!!", "", 0)});
  auto entries = list_entries(archive);
  ASSERT_TRUE(entries) << entries.error().message();
  ASSERT_EQ(entries->size(), 3u);
  EXPECT_EQ((*entries)[0].path, koi8);
  EXPECT_EQ((*entries)[2].link_target, koi8);
  EXPECT_EQ(*find_file(archive, eucjp), bytes_of("jp"));
  TempDir dest;
  auto stats = extract_tree(archive, "/", dest.path);
  ASSERT_TRUE(stats) << stats.error().message();
  EXPECT_EQ(stats->files, 2u);
  EXPECT_EQ(dest.names(), (std::set<std::string>{koi8, eucjp}));
}

TEST(CpioFormats, ATrailerEndsTheArchiveWhateverItDeclares) {
  // A symbolic link named "TRAILER!!!" claiming a 4 GiB (newc) or 8 GiB (odc)
  // target, with nothing behind it.
  const std::string odc_trailer = std::string("070707000000000000120777000000000000000001000000") +
                                  "00000000000" + "000013" + "77777777777" + "TRAILER!!!" + '\0';
  const std::vector<uint8_t> trailers[] = {newc("TRAILER!!!", "", 0120777, 0xFFFFFFFF), bytes_of(odc_trailer)};
  for (const auto& trailer : trailers) {
    auto archive = concat({newc("a", "1"), trailer});
    auto entries = list_entries(archive);
    ASSERT_TRUE(entries) << entries.error().message();
    ASSERT_EQ(entries->size(), 1u);
    EXPECT_EQ(find_file(archive, "TRAILER!!!").error().kind(), PbzxError::Kind::FileNotFound);
    TempDir dest;
    auto stats = extract_tree(archive, "/", dest.path);
    ASSERT_TRUE(stats) << stats.error().message();
    EXPECT_EQ(stats->files, 1u);
    EXPECT_EQ(stats->symlinks_skipped, 0u);
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
