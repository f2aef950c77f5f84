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

std::string hardlink(uint64_t id, const std::string& name, const std::string& names) {
  return "<file id=\"" + std::to_string(id) + "\"><name>" + name + "</name><type link=\"" + names +
         "\">hardlink</type></file>";
}

constexpr const char* kOriginal =
    "<file id=\"1\"><name>orig</name><type link=\"original\">hardlink</type>"
    "<data><offset>0</offset><length>3</length><size>3</size></data></file>";

TEST(XarToc, HardLinkChainsResolveAndCyclesAreRefused) {
  // 3 -> 2 -> 1 and 4 -> 3: every link reaches the entry holding the content,
  // whichever order the document gives them in.
  auto r = open_toc(hardlink(3, "c", "2") + hardlink(4, "d", "3") + kOriginal + hardlink(2, "b", "1"));
  ASSERT_TRUE(r) << r.error().message();
  for (size_t i : {0, 1, 3}) {
    EXPECT_EQ(r->entries()[i].hardlink_target, 2u) << i;
    ASSERT_TRUE(r->entries()[i].data);
    EXPECT_EQ(r->entries()[i].data->size, 3u);
  }
  const std::pair<std::string, std::string> refused[] = {
      {hardlink(5, "self", "5"), "hard link \"self\" is part of a cycle of hard links"},
      {hardlink(5, "a", "6") + hardlink(6, "b", "5"), "hard link \"a\" is part of a cycle of hard links"},
      {kOriginal + hardlink(5, "a", "6") + hardlink(6, "b", "7") + hardlink(7, "c", "5"), "is part of a cycle"},
      {hardlink(5, "a", "6") + hardlink(6, "b", "9"), "hard link \"b\" names file id 9, which the TOC does not hold"},
      {"<file id=\"1\"><name>d</name><type>directory</type></file>" + hardlink(2, "a", "1"),
       "hard link \"a\" must name a file that holds its own content"},
      {hardlink(2, "a", "18446744073709551616"), "invalid hard link target"},
  };
  for (const auto& [files, message] : refused) {
    auto bad = open_toc(files);
    ASSERT_FALSE(bad) << files;
    EXPECT_NE(bad.error().message().find(message), std::string::npos) << bad.error().message();
  }
}

TEST(XarToc, RepeatedFieldsAgreeOrFail) {
  // Repeats that say the same thing open.
  auto r = open_toc(
      "<file><name>Bom</name><name>Bom</name><type>file</type><type>file</type></file>"
      "<file><name enctype=\"base64\">Qm9t</name><name>Bom</name><type>file</type></file>");
  ASSERT_TRUE(r) << r.error().message();
  EXPECT_EQ(r->entries()[1].name, "Bom");
  const std::string contradictions[] = {
      "<file><name>Bom</name><name>Bill</name><type>file</type></file>",
      "<file><name>YQ==</name><name enctype=\"base64\">YQ==</name><type>file</type></file>",
      "<file><name>a</name><type>file</type><type>symlink</type><link>x</link></file>",
      "<file><name>a</name><type link=\"1\">hardlink</type><type link=\"2\">hardlink</type></file>",
      "<file><name>a</name><type>hardlink</type><type link=\"original\">hardlink</type></file>",
  };
  for (const auto& files : contradictions) {
    auto bad = open_toc(files);
    ASSERT_FALSE(bad) << files;
    EXPECT_NE(bad.error().message().find("duplicate direct <"), std::string::npos) << bad.error().message();
  }
}

TEST(XarToc, NumbersPastTheirFieldAreNeverWrapped) {
  // Metadata that does not fit is left out; an id, offset or size that does
  // not fit refuses the archive.
  auto r = open_toc(
      "<file id=\"1\"><name>a</name><type>file</type><mode>10000000000644</mode><uid>4294967296</uid>"
      "<gid>99999999999999999999999</gid><inode>99999999999999999999999999</inode>"
      "<mtime>2000-01-01T00:00:123</mtime></file>"
      "<file id=\"2\"><name>b</name><type>file</type><mode>0000000000644</mode><uid>4294967295</uid>"
      "<mtime>2000-01-01T00:00:01.5Z</mtime></file>"
      "<file id=\"3\"><name>c</name><type>file</type><mode>177777</mode><mtime>2000-01-01T00:00:0</mtime></file>"
      "<file id=\"4\"><name>d</name><type>file</type><mode>200000</mode><mtime>2000-01-01T00:00:01.</mtime></file>");
  ASSERT_TRUE(r) << r.error().message();
  const auto& e = r->entries();
  EXPECT_FALSE(e[0].mode);
  EXPECT_FALSE(e[0].uid);
  EXPECT_FALSE(e[0].gid);
  EXPECT_FALSE(e[0].mtime);
  EXPECT_EQ(e[1].mode, 0644u);
  EXPECT_EQ(e[1].uid, 4294967295u);
  EXPECT_EQ(e[1].mtime, 946684801);
  EXPECT_EQ(e[2].mode, 0177777u);
  EXPECT_FALSE(e[2].mtime);
  EXPECT_FALSE(e[3].mode);
  EXPECT_FALSE(e[3].mtime);
  const std::pair<std::string, std::string> refused[] = {
      {"<file id=\"18446744073709551616\"><name>a</name><type>file</type></file>", "number too large"},
      {"<file><name>a</name><type>file</type><data><offset>99999999999999999999</offset></data></file>",
       "invalid <offset> value \"99999999999999999999\": number too large to fit in target type"},
      {"<file><name>a</name><type>file</type><data><length>18446744073709551616</length></data></file>",
       "invalid <length> value"},
      {"<file><name enctype=\"base64\">YWJjA</name><type>file</type></file>",
       "invalid base64 <name> value \"YWJjA\": not canonical base64"},
      {"<file><name enctype=\"base64\">YWJjZA=</name><type>file</type></file>", "not canonical base64"},
      {"<file><name enctype=\"base64\">YWJjZB==</name><type>file</type></file>", "not canonical base64"},
  };
  for (const auto& [files, message] : refused) {
    auto bad = open_toc(files);
    ASSERT_FALSE(bad) << files;
    EXPECT_NE(bad.error().message().find(message), std::string::npos) << bad.error().message();
  }
}

TEST(XarHeap, OffsetsPastTheAddressSpaceAreRefused) {
  auto r = open_toc(
      "<file><name>a</name><type>file</type><data><offset>18446744073709551615</offset><length>1</length>"
      "<size>1</size></data></file>");
  ASSERT_TRUE(r) << r.error().message();
  auto read = r->read_entry_bytes(r->entries()[0]);
  ASSERT_FALSE(read);
  EXPECT_EQ(read.error().message(), "invalid TOC: XAR heap entry offset overflows the archive address space");
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
