// The TOC grammar: entries, paths, fields and the messages of its rules.
#include <gtest/gtest.h>

#include "xar_test_util.h"

namespace tev::xar {
namespace {

using testing::in_toc;
using testing::make_xar;
using testing::open_bytes;

std::expected<XarReader, XarError> open_toc(const std::string& files) { return open_bytes(make_xar(in_toc(files))); }

TEST(XarToc, NestedEntriesComeInPostOrderWithParentsAndPaths) {
  auto r = open_toc(
      "<file id=\"1\"><name>a</name><type>directory</type>"
      "<file id=\"2\"><name>b</name><type>file</type></file></file>"
      "<file id=\"3\"><name> x </name><type> file </type><mode>0755</mode><uid>501</uid>"
      "<mtime>2024-01-02T03:04:05Z</mtime></file>");
  ASSERT_TRUE(r) << r.error().message();
  const auto& e = r->entries();
  ASSERT_EQ(e.size(), 3u);
  EXPECT_EQ(e[0].path, "a/b");
  EXPECT_EQ(e[0].parent, 1u);
  EXPECT_EQ(e[1].path, "a");
  EXPECT_FALSE(e[1].parent);
  EXPECT_EQ(e[1].children, std::vector<size_t>{0});
  EXPECT_EQ(e[2].name, " x ");
  EXPECT_EQ(e[2].mode, 0755u);
  EXPECT_EQ(e[2].uid, 501u);
  EXPECT_EQ(e[2].mtime, 1704164645);
  EXPECT_EQ(r->find_entry("/a/b/"), &e[0]);
  EXPECT_EQ(r->find_entry("./a"), nullptr);
}

TEST(XarToc, HardLinksShareTheContentOfTheEntryTheyName) {
  // The link names an id that comes later in the document.
  auto r = open_toc(
      "<file id=\"9\"><name>link</name><type link=\"4\">hardlink</type></file>"
      "<file id=\"4\"><name>orig</name><type link=\"original\">hardlink</type>"
      "<data><offset>0</offset><length>3</length><size>3</size></data></file>");
  ASSERT_TRUE(r) << r.error().message();
  const auto& link = r->entries()[0];
  EXPECT_EQ(link.kind, EntryKind::File);
  EXPECT_EQ(link.hardlink_target, 1u);
  ASSERT_TRUE(link.data);
  EXPECT_EQ(link.data->encoding, "application/octet-stream");
  EXPECT_FALSE(r->entries()[1].hardlink_target);
}

TEST(XarToc, BaseSixtyFourNamesAndSameValueRepeats) {
  auto r = open_toc(
      "<file><name enctype=\"base64\">aGVs\nbG8=</name><type>file</type></file>"
      "<file><name>Bom</name><name>Bom</name><type>file</type></file>");
  ASSERT_TRUE(r) << r.error().message();
  EXPECT_EQ(r->entries()[0].name, "hello");
  EXPECT_EQ(r->entries()[1].name, "Bom");
}

TEST(XarToc, EmptyAndIgnoredParts) {
  auto r = open_bytes(make_xar("<?xml version=\"1.0\"?><!-- c --><xar><toc/></xar>"));
  ASSERT_TRUE(r) << r.error().message();
  EXPECT_TRUE(r->entries().empty());
  r = open_bytes(make_xar("<xar><file><name>n</name><type>bogus</type></file><toc/></xar>"));
  ASSERT_TRUE(r) << r.error().message();
  r = open_toc("<file><name>f</name><type>file</type><link>ignored</link><data><name>x</name>"
               "<offset>1</offset><length>2</length><size>2</size></data></file>");
  ASSERT_TRUE(r) << r.error().message();
  EXPECT_FALSE(r->entries()[0].link);
  EXPECT_EQ(r->entries()[0].data->offset, 1u);
}

TEST(XarToc, RulesFailWithTheirMessages) {
  const std::pair<std::string, std::string> cases[] = {
      {"<file><name>a</name><name>b</name><type>file</type></file>", "duplicate direct <name> field in <file>"},
      {"<file><name>a</name><type>file</type><type>directory</type></file>", "duplicate direct <type> field in <file>"},
      {"<file><name><b/></name><type>file</type></file>", "nested element inside scalar file metadata"},
      {"<file><type>file</type></file>", "file is missing a non-empty direct <name>"},
      {"<file><name>a</name></file>", "file is missing a direct <type>"},
      {"<file><name>a</name><type>fifo</type></file>", "unsupported file <type> value \"fifo\""},
      {"<file><name>a</name><type>symlink</type><link/></file>", "symlink is missing a non-empty direct <link>"},
      {"<file><name>a</name><type>file</type><data><length>1</length><size>1</size></data></file>",
       "file <data> is missing <offset>"},
      {"<file><name>a</name><type>file</type><data/></file>", "file <data> is missing <offset>, <length>, and <size>"},
      {"<file/>", "empty <file> is missing required metadata"},
      {"<file><name>a</name><type>file</type><data><offset>-1</offset></data></file>",
       "invalid <offset> value \"-1\": invalid digit found in string"},
      {"<file><name>a</name><type>file</type><data><size>18446744073709551616</size></data></file>",
       "invalid <size> value \"18446744073709551616\": number too large to fit in target type"},
      {"<file><name>a</name><type>file</type><data><encoding/></data></file>",
       "file data <encoding> is missing its style attribute"},
      {"<file><name enctype=\"Base64\">aGk=</name><type>file</type></file>", "unsupported <name> enctype \"Base64\""},
      {"<file><name enctype=\"base64\">aGk</name><type>file</type></file>", "invalid base64 <name> value \"aGk\""},
      {"<file><name enctype=\"base64\">/w==</name><type>file</type></file>", "decoded to invalid UTF-8"},
      {"<file><name>h</name><type link=\"5\">hardlink</type></file>", "names file id 5"},
      {"<file><name>a</name><type>file</type></fil></toc></xar>", "XML error: "},
  };
  for (const auto& [files, message] : cases) {
    auto r = open_toc(files);
    ASSERT_FALSE(r) << files;
    EXPECT_EQ(r.error().kind(), XarError::Kind::XmlParse) << files;
    EXPECT_NE(r.error().message().find(message), std::string::npos) << files << " -> " << r.error().message();
  }
}

TEST(XarToc, DocumentShapes) {
  const std::pair<std::string, std::string> cases[] = {
      {"<xar/>", "TOC XML must contain one <xar>/<toc> document"},
      {"<plist/>", "the TOC document root must be <xar>"},
      {"<xar><toc/><toc/></xar>", "duplicate or misplaced XAR document element"},
      {"<xar><toc><xar/></toc></xar>", "duplicate or misplaced XAR document element"},
  };
  for (const auto& [doc, message] : cases) {
    auto r = open_bytes(make_xar(doc));
    ASSERT_FALSE(r) << doc;
    EXPECT_EQ(r.error().message(), "XML parse error: " + message);
  }
}

TEST(XarError, FormatsEveryKind) {
  const std::pair<XarError, const char*> cases[] = {
      {XarError(IoError::unexpected_eof()), "I/O error: failed to fill whole buffer"},
      {XarError::invalid_magic(0x61626364), "invalid XAR magic: 0x61626364 (expected 0x78617221)"},
      {XarError::invalid_magic(0x1), "invalid XAR magic: 0x00000001 (expected 0x78617221)"},
      {XarError::invalid_toc("t"), "invalid TOC: t"},
      {XarError::xml_parse("t"), "XML parse error: t"},
      {XarError::file_not_found("core.pkg/Payload"), "file not found: core.pkg/Payload"},
      {XarError::unsupported_encoding("application/x-foo"), "unsupported encoding: application/x-foo"},
      {XarError::decompression_failed("zlib: x"), "decompression failed: zlib: x"},
      {XarError::invalid_path("path traversal detected: .."), "invalid path: path traversal detected: .."},
      {XarError::checksum_mismatch("sha1 TOC checksum"), "checksum mismatch: sha1 TOC checksum"},
  };
  for (const auto& [error, message] : cases) EXPECT_EQ(error.message(), message);
}

}  // namespace
}  // namespace tev::xar
