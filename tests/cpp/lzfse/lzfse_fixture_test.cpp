// Streams made by the reference encoder, and exact encodings it makes.
#include <gtest/gtest.h>

#include <map>

#include "fixtures.h"
#include "lzfse_test_util.h"

namespace tev::lzfse {
namespace {

namespace fs = std::filesystem;
using namespace tev::lzfse::testing;

fs::path vectors_dir() { return tev::testing::fixtures_dir() / "generated" / "lzfse"; }

// "x.bin.lzfse", "x.bin.bvx1.lzfse" and "x.bin.tight.lzfse" hold x.bin;
// "mixed_blocks.lzfse" holds mixed_blocks.bin.
fs::path input_of(const fs::path& stream) {
  std::string name = stream.filename().string();
  name.resize(name.size() - std::string(".lzfse").size());
  for (const char* variant : {".bvx1", ".tight"})
    if (name.ends_with(variant)) name.resize(name.size() - std::string(variant).size());
  fs::path input = stream.parent_path() / name;
  return fs::exists(input) ? input : stream.parent_path() / (name + ".bin");
}

TEST(LzfseReferenceVectors, EveryStreamDecodesToItsInput) {
  if (!fs::is_directory(vectors_dir())) GTEST_SKIP() << "no shared fixtures";
  int checked = 0;
  for (const auto& entry : fs::directory_iterator(vectors_dir())) {
    if (entry.path().extension() != ".lzfse") continue;
    fs::path input_path = input_of(entry.path());
    ASSERT_TRUE(fs::exists(input_path)) << entry.path();
    auto stream = tev::testing::read_file(entry.path());
    auto input = tev::testing::read_file(input_path);
    std::vector<uint8_t> out;
    // Exactly the decoded size: the end of the buffer must not trip the decoder.
    auto r = decode_into(stream, input.size(), out);
    EXPECT_EQ(r.status, DecodeStatus::Ok) << entry.path();
    EXPECT_EQ(r.written, input.size()) << entry.path();
    EXPECT_TRUE(out == input) << entry.path();
    // One byte short must not look like success.
    if (!input.empty()) {
      auto cut = decode_into(stream, input.size() - 1, out);
      EXPECT_EQ(cut.status, DecodeStatus::OutputFull) << entry.path();
      EXPECT_EQ(decode_buffer(out, stream), out.size());
    }
    ++checked;
  }
  EXPECT_GE(checked, 10);
}

// Our encoder follows the reference's match finder and block writer, so its
// output is within a few percent of the reference's on real data, and
// smaller on incompressible data (raw blocks replace expanding ones).
TEST(LzfseReferenceVectors, EncodedSizeIsCloseToTheReference) {
  if (!fs::is_directory(vectors_dir())) GTEST_SKIP() << "no shared fixtures";
  const char* larger[] = {"binary_1MiB.bin", "repetitive_3MiB.bin", "random_1MiB.bin",
                          "mixed_blocks.bin", "text_4096.txt", "text_4097.txt"};
  for (const char* name : larger) {
    fs::path input_path = vectors_dir() / name;
    fs::path reference = vectors_dir() / (std::string(name) + ".lzfse");
    if (std::string(name) == "mixed_blocks.bin") reference = vectors_dir() / "mixed_blocks.lzfse";
    if (!fs::exists(input_path) || !fs::exists(reference)) continue;
    auto input = tev::testing::read_file(input_path);
    auto ours = encode(input);
    ASSERT_FALSE(ours.empty()) << name;
    double ratio = static_cast<double>(ours.size()) / static_cast<double>(fs::file_size(reference));
    EXPECT_LE(ratio, 1.03) << name << ": " << ours.size() << " vs " << fs::file_size(reference);
    std::vector<uint8_t> back;
    auto r = decode_into(ours, input.size(), back);
    EXPECT_EQ(r.status, DecodeStatus::Ok) << name;
    EXPECT_TRUE(back == input) << name;
  }
}

std::vector<uint8_t> from_hex(const std::string& hex) {
  std::vector<uint8_t> v;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) v.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  return v;
}

// Exact outputs of the reference encoder for small inputs.
TEST(LzfseEncoder, WritesTheReferenceBytes) {
  std::string zeros_header =
      "6276783200100000040000000003007000000000000c0050830000002490000c"
      "e7d75c030000005c03000000c04ff0937c0f0000000000000000000000000000"
      "00f0e80300000000000000000000000000000000000000000000000000000000"
      "0000000000000000000000000000000000000000000000000000000000000000"
      "000000";
  const std::pair<std::vector<uint8_t>, std::string> cases[] = {
      {{}, "6276782d0000000062767824"},
      {bytes_of("abc"), "6276782d0300000061626362767824"},
      {std::vector<uint8_t>(32, 'a'),
       "6276786e20000000100000006801" "61f005e261610600000000000000" "62767824"},
      {bytes_of("abcabcabcabcabcabcabcabcabcabcXYZ"),
       "6276786e2100000013000000c803616263f007e358595a060000000000000062767824"},
      {std::vector<uint8_t>(4096, 0), zeros_header + "00000000000000003456ff3f62767824"},
  };
  for (const auto& [input, hex] : cases) EXPECT_EQ(encode(input), from_hex(hex)) << input.size();
}

}  // namespace
}  // namespace tev::lzfse
