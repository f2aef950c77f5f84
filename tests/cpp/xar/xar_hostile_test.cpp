// Damaged and hostile archives: every one ends in an error value or a clean
// read, never a crash, a hang, a huge allocation or a write outside the
// destination. Also run under the sanitizers.
#include <gtest/gtest.h>

#include <filesystem>
#include <random>

#include "fixtures.h"
#include "tev/xar/pkg_reader.h"
#include "xar_test_util.h"

namespace tev::xar {
namespace {

namespace fs = std::filesystem;
using testing::in_toc;
using testing::make_xar;
using testing::open_bytes;

// Opens, reads every member and extracts into a fresh directory; whatever
// happens must stay inside `box/dest`.
void exercise(const std::vector<uint8_t>& bytes, const fs::path& box) {
  fs::remove_all(box);
  fs::create_directories(box);
  auto r = open_bytes(bytes);
  if (!r) return;
  for (const auto& e : r->entries()) (void)r->read_entry_bytes(e);
  (void)r->extract("/", (box / "dest").string());
  PkgReader pkg(std::move(*r));
  for (const auto& c : pkg.component_names()) {
    (void)pkg.component_info(c);
    (void)pkg.payload_archive(c);
  }
  (void)pkg.distribution_info();
  for (const auto& entry : fs::directory_iterator(box)) EXPECT_EQ(entry.path().filename(), "dest");
}

std::vector<uint8_t> fixture(const char* name) {
  return tev::testing::read_file(tev::testing::fixtures_dir() / "generated/xar_pkg" / name);
}

class XarHostile : public ::testing::Test {
 protected:
  void SetUp() override { box_ = fs::temp_directory_path() / ("xar_hostile_" + std::to_string(::getpid())); }
  void TearDown() override { fs::remove_all(box_); }
  fs::path box_;
};

TEST_F(XarHostile, TruncatedCopiesOfARealArchive) {
  auto bytes = fixture("xar161_product_pbzx.pkg");
  if (bytes.empty()) GTEST_SKIP() << "shared fixtures absent";
  for (size_t n = 0; n < bytes.size(); n += n < 2048 ? 7 : 4099)
    exercise(std::vector<uint8_t>(bytes.begin(), bytes.begin() + static_cast<ptrdiff_t>(n)), box_);
}

TEST_F(XarHostile, BitFlippedCopiesOfRealArchives) {
  for (const char* name : {"xar161_tree_gzip.xar", "xar161_tree_xz_sha512.xar", "xar503_product_pbzx.pkg"}) {
    auto bytes = fixture(name);
    if (bytes.empty()) GTEST_SKIP() << "shared fixtures absent";
    std::mt19937 rng(42);
    for (int i = 0; i < 120; ++i) {
      auto copy = bytes;
      // Mostly the header and TOC, where a flip changes the structure.
      size_t limit = i % 3 == 0 ? copy.size() : std::min<size_t>(copy.size(), 2048);
      copy[rng() % limit] ^= static_cast<uint8_t>(1u << (rng() % 8));
      exercise(copy, box_);
    }
  }
}

TEST_F(XarHostile, MutatedTocTextsOfRealArchives) {
  // The decompressed TOCs beside the fixtures, damaged as text and packed
  // again, so that the XML grammar itself meets the damage.
  const char* bytes_of_xml = "<>/=\"&;! \n\x01\xff";
  for (const char* name : {"xar161_tree_gzip.toc.xml", "xar503_product_pbzx_sha512.toc.xml"}) {
    auto text = fixture(name);
    if (text.empty()) GTEST_SKIP() << "shared fixtures absent";
    std::mt19937 rng(7);
    for (int i = 0; i < 300; ++i) {
      std::string doc(text.begin(), text.end());
      for (int k = 0; k < 1 + i % 4; ++k) {
        size_t at = rng() % doc.size();
        switch (rng() % 3) {
          case 0: doc[at] = bytes_of_xml[rng() % 13]; break;
          case 1: doc.erase(at, rng() % 16); break;
          default: doc.insert(at, 1, bytes_of_xml[rng() % 13]); break;
        }
      }
      exercise(make_xar(doc), box_);
    }
  }
}

TEST_F(XarHostile, AbsurdLengthsAreRefusedBeforeAllocating) {
  auto base = make_xar(in_toc(""));
  for (uint64_t length : {uint64_t{1} << 62, UINT64_MAX - 1, uint64_t{1} << 40}) {
    auto copy = base;
    for (int i = 0; i < 8; ++i) copy[16 + i] = static_cast<uint8_t>(length >> (56 - 8 * i));
    EXPECT_FALSE(open_bytes(copy));
    copy = base;
    for (int i = 0; i < 8; ++i) copy[8 + i] = static_cast<uint8_t>(length >> (56 - 8 * i));
    EXPECT_FALSE(open_bytes(copy));
  }
  // A deflate member whose stored extent lies past the file proves nothing:
  // it is not given a buffer of its claimed size.
  std::string past = "<file><name>m</name><type>file</type><data><offset>0</offset><length>4000000</length>"
                     "<size>4000000000</size><encoding style=\"application/zlib\"/></data></file>";
  auto p = open_bytes(make_xar(in_toc(past), {1, 2, 3, 4}));
  ASSERT_TRUE(p);
  EXPECT_EQ(p->provable_size(p->entries()[0]).value(), std::nullopt);
  auto bytes = p->read_entry_bytes(p->entries()[0]);
  ASSERT_FALSE(bytes);
  EXPECT_NE(bytes.error().message().find("extends past the end of the archive"), std::string::npos);
  // A member that claims terabytes from a few bytes of bzip2 streams into a sink and fails.
  std::string files = "<file><name>m</name><type>file</type><data><offset>0</offset><length>4</length>"
                      "<size>1099511627776</size><encoding style=\"application/x-bzip2\"/></data></file>";
  auto r = open_bytes(make_xar(in_toc(files), {'B', 'Z', 'h', '9'}));
  ASSERT_TRUE(r);
  std::vector<uint8_t> out;
  VectorSink sink(out);
  EXPECT_FALSE(r->read_entry(r->entries()[0], sink));
  EXPECT_FALSE(r->read_entry_bytes(r->entries()[0]));
}

TEST_F(XarHostile, HostileDocuments) {
  std::string laughs = "<?xml version=\"1.0\"?><!DOCTYPE x [<!ENTITY a \"aaaaaaaaaaaaaaaa\">";
  std::string prev = "a";
  for (char c = 'b'; c <= 'k'; ++c) {
    laughs += std::string("<!ENTITY ") + c + " \"";
    for (int i = 0; i < 16; ++i) laughs += "&" + prev + ";";
    laughs += "\">";
    prev = std::string(1, c);
  }
  laughs += "]><xar><toc><file><name>&k;</name><type>file</type></file></toc></xar>";
  std::string deep = "<xar><toc>";
  for (int i = 0; i < 5000; ++i) deep += "<file>";
  const std::pair<std::string, std::string> cases[] = {
      {laughs, "declares entities of its own"},
      {"<!DOCTYPE x SYSTEM \"http://127.0.0.1:9/x.dtd\"><xar><toc/></xar>", ""},
      {"<?xml version=\"1.0\"?><!-- <xar> --><!DOCTYPE x [<!ENTITY e SYSTEM \"/etc/passwd\">]>"
       "<xar><toc><file><name>&e;</name><type>file</type></file></toc></xar>",
       "XML error: "},
      {deep, "nests deeper than 200 elements"},
      {"<xar><toc><file><name>a&#0;b</name><type>file</type></file></toc></xar>", "XML error: "},
  };
  for (const auto& [doc, message] : cases) {
    auto r = open_bytes(make_xar(doc));
    if (message.empty()) {
      // An external DTD is never fetched: the document opens as if it had none.
      EXPECT_TRUE(r) << r.error().message();
      continue;
    }
    ASSERT_FALSE(r) << doc.substr(0, 80);
    EXPECT_EQ(r.error().kind(), XarError::Kind::XmlParse);
    EXPECT_NE(r.error().message().find(message), std::string::npos) << r.error().message();
  }
}

TEST_F(XarHostile, NamesThatWouldLeaveTheDestination) {
  const std::pair<std::string, std::string> cases[] = {
      {"<file><name>..</name><type>file</type></file>", "invalid path: path traversal detected: .."},
      {"<file><name>d</name><type>directory</type><file><name>..</name><type>directory</type>"
       "<file><name>x</name><type>file</type></file></file></file>",
       "invalid path: path traversal detected: d/.."},
      {"<file><name enctype=\"base64\">YQBi</name><type>file</type></file>", "invalid path: path contains a NUL byte"},
      {"<file><name>.</name><type>file</type></file>", "invalid path: empty path after sanitization: ."},
  };
  for (const auto& [files, message] : cases) {
    fs::remove_all(box_);
    fs::create_directories(box_);
    auto r = open_bytes(make_xar(in_toc(files)));
    ASSERT_TRUE(r) << r.error().message();
    auto stats = r->extract("", (box_ / "dest").string());
    ASSERT_FALSE(stats) << files;
    EXPECT_NE(stats.error().message().find(message), std::string::npos) << stats.error().message();
    for (const auto& entry : fs::directory_iterator(box_)) EXPECT_EQ(entry.path().filename(), "dest");
  }
}

}  // namespace
}  // namespace tev::xar
