// Heap members: every encoding, the checksums over stored and decoded bytes,
// and the header and TOC extents around the heap.
#include <bzlib.h>
#include <gtest/gtest.h>
#include <lzma.h>
#include <openssl/evp.h>

#include <fmt/format.h>

#include "xar_test_util.h"

namespace tev::xar {
namespace {

using testing::in_toc;
using testing::make_xar;
using testing::open_bytes;

using Bytes = std::vector<uint8_t>;

Bytes gzip_bytes(const Bytes& in) {
  z_stream z{};
  deflateInit2(&z, 6, Z_DEFLATED, 31, 8, Z_DEFAULT_STRATEGY);
  Bytes out(deflateBound(&z, in.size()) + 32);
  z.next_in = const_cast<Bytef*>(in.data());
  z.avail_in = static_cast<uInt>(in.size());
  z.next_out = out.data();
  z.avail_out = static_cast<uInt>(out.size());
  deflate(&z, Z_FINISH);
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

Bytes bzip2_bytes(const Bytes& in) {
  unsigned int n = static_cast<unsigned int>(in.size() + in.size() / 100 + 700);
  Bytes out(n);
  BZ2_bzBuffToBuffCompress(reinterpret_cast<char*>(out.data()), &n,
                           const_cast<char*>(reinterpret_cast<const char*>(in.data())),
                           static_cast<unsigned int>(in.size()), 9, 0, 0);
  out.resize(n);
  return out;
}

Bytes lzma_bytes(const Bytes& in, bool alone) {
  lzma_stream s = LZMA_STREAM_INIT;
  lzma_options_lzma opt;
  lzma_lzma_preset(&opt, 6);
  lzma_ret rc = alone ? lzma_alone_encoder(&s, &opt) : lzma_easy_encoder(&s, 6, LZMA_CHECK_CRC64);
  if (rc != LZMA_OK) return {};
  Bytes out(in.size() + 1024);
  s.next_in = in.data();
  s.avail_in = in.size();
  s.next_out = out.data();
  s.avail_out = out.size();
  while (lzma_code(&s, LZMA_FINISH) == LZMA_OK) {}
  out.resize(s.total_out);
  lzma_end(&s);
  return out;
}

std::string hex_digest(const char* name, const Bytes& bytes) {
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int n = 0;
  EVP_Digest(bytes.data(), bytes.size(), md, &n, EVP_get_digestbyname(name), nullptr);
  std::string out;
  for (unsigned int i = 0; i < n; ++i) out += fmt::format("{:02x}", md[i]);
  return out;
}

std::string member(const std::string& name, size_t length, size_t size, const std::string& encoding,
                   const std::string& checksums = "") {
  return fmt::format("<file id=\"1\"><name>{}</name><type>file</type><data><offset>0</offset><length>{}</length>"
                     "<size>{}</size><encoding style=\"{}\"/>{}</data></file>",
                     name, length, size, encoding, checksums);
}

Bytes sample() {
  Bytes b;
  for (int i = 0; i < 300000; ++i) b.push_back(static_cast<uint8_t>((i * 7) ^ (i >> 9)));
  return b;
}

std::expected<Buffer, XarError> read_first(const Bytes& archive) {
  auto r = open_bytes(archive);
  if (!r) return std::unexpected(r.error());
  return r->read_entry_bytes(r->entries()[0]);
}

TEST(XarHeap, EveryEncodingDecodes) {
  const Bytes data = sample();
  const std::pair<std::string, Bytes> cases[] = {
      {"application/octet-stream", data},
      {"application/zlib", testing::zlib_bytes(std::string(data.begin(), data.end()))},
      // What packages label gzip is a zlib stream; a real gzip stream decodes too.
      {"application/x-gzip", testing::zlib_bytes(std::string(data.begin(), data.end()))},
      {"application/x-gzip", gzip_bytes(data)},
      {"application/x-bzip2", bzip2_bytes(data)},
      {"application/x-xz", lzma_bytes(data, false)},
      {"application/x-lzma", lzma_bytes(data, true)},
  };
  for (const auto& [encoding, stored] : cases) {
    auto out = read_first(make_xar(in_toc(member("m", stored.size(), data.size(), encoding)), stored));
    ASSERT_TRUE(out) << encoding << ": " << out.error().message();
    EXPECT_TRUE(std::equal(out->begin(), out->end(), data.begin(), data.end())) << encoding;
  }
}

TEST(XarHeap, ChecksumsAreVerifiedInEveryStyle) {
  const Bytes data = sample();
  const Bytes stored = bzip2_bytes(data);
  for (const char* style : {"md5", "sha1", "SHA256", "sha512"}) {
    std::string lower = style;
    for (auto& c : lower) c = static_cast<char>(std::tolower(c));
    std::string good = fmt::format("<archived-checksum style=\"{0}\">{1}</archived-checksum>"
                                   "<extracted-checksum style=\"{0}\">{2}</extracted-checksum>",
                                   style, hex_digest(lower.c_str(), stored), hex_digest(lower.c_str(), data));
    auto ok = read_first(make_xar(in_toc(member("m", stored.size(), data.size(), "application/x-bzip2", good)), stored));
    EXPECT_TRUE(ok) << style << ": " << ok.error().message();
    for (const char* which : {"archived-checksum", "unarchived-checksum"}) {
      std::string bad = fmt::format("<{0} style=\"{1}\">{2}</{0}>", which, style, std::string(64, '0'));
      auto r = read_first(make_xar(in_toc(member("m", stored.size(), data.size(), "application/x-bzip2", bad)), stored));
      ASSERT_FALSE(r) << style << " " << which;
      EXPECT_EQ(r.error().kind(), XarError::Kind::ChecksumMismatch);
      EXPECT_NE(r.error().message().find(std::string(style) + " "), std::string::npos) << r.error().message();
      EXPECT_NE(r.error().message().find("of \"m\""), std::string::npos) << r.error().message();
    }
  }
  // A style this reader does not know, or none at all, is not an error.
  auto r = read_first(make_xar(
      in_toc(member("m", data.size(), data.size(), "application/octet-stream",
                    "<archived-checksum style=\"whirlpool\">00</archived-checksum><extracted-checksum>00</extracted-checksum>")),
      data));
  EXPECT_TRUE(r) << r.error().message();
}

TEST(XarHeap, TocChecksumIsVerifiedAtOpen) {
  const std::string toc = in_toc("<checksum style=\"SHA1\"><offset>0</offset><size>20</size></checksum>");
  Bytes compressed = testing::zlib_bytes(toc);
  unsigned char md[20];
  EVP_Digest(compressed.data(), compressed.size(), md, nullptr, EVP_sha1(), nullptr);
  Bytes heap(md, md + 20);
  EXPECT_TRUE(open_bytes(make_xar(toc, heap)));
  heap[3] ^= 1;
  auto r = open_bytes(make_xar(toc, heap));
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().message(), "checksum mismatch: SHA1 TOC checksum");
  r = open_bytes(make_xar(toc, Bytes(5)));
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().message(), "invalid TOC: the TOC checksum lies outside the archive");
}

TEST(XarHeap, HeaderAndTocExtents) {
  // A 64-byte header: the TOC starts after it.
  auto r = open_bytes(make_xar(in_toc(""), {}, 64));
  ASSERT_TRUE(r) << r.error().message();
  EXPECT_EQ(r->heap_start(), 64 + testing::zlib_bytes(in_toc("")).size());
  // Bytes after the zlib stream inside the declared extent are ignored.
  Bytes a = make_xar(in_toc(""));
  a[15] += 4;
  a.insert(a.end(), 4, 0xEE);
  EXPECT_TRUE(open_bytes(a));
  // One byte too few declared.
  Bytes b = make_xar(in_toc(""));
  b[23] -= 1;
  auto short_toc = open_bytes(b);
  ASSERT_FALSE(short_toc);
  size_t n = in_toc("").size();
  EXPECT_EQ(short_toc.error().message(),
            fmt::format("invalid TOC: declared uncompressed TOC length {} does not match decoded length {}", n - 1, n));
}

TEST(XarHeap, StoredMembersAndTheirLimits) {
  const std::tuple<std::string, Bytes, std::string> cases[] = {
      {member("m", 10, 12, "application/octet-stream"), Bytes(10),
       "invalid TOC: XAR raw entry declares compressed length 10 but uncompressed size 12"},
      {member("m", 10, 10, "application/octet-stream"), Bytes(4), "invalid TOC: XAR raw entry ended after 4 bytes, expected 10"},
      {member("m", 5, 5, "application/x-bzip3"), Bytes(5), "unsupported encoding: application/x-bzip3"},
      {member("m", 5, uint64_t{1} << 40, "application/zlib"), Bytes(5), "too large to read into memory"},
  };
  for (const auto& [files, heap, message] : cases) {
    auto r = read_first(make_xar(in_toc(files), heap));
    ASSERT_FALSE(r) << files;
    EXPECT_NE(r.error().message().find(message), std::string::npos) << r.error().message();
  }
}

}  // namespace
}  // namespace tev::xar
