#include "tev/common/base64.h"

#include <gtest/gtest.h>

#include <random>

namespace tev {
namespace {

std::vector<uint8_t> bytes_of(std::string_view text) { return {text.begin(), text.end()}; }

TEST(Base64, EncodesTheRfcVectors) {
  const std::pair<const char*, const char*> cases[] = {
      {"", ""},          {"f", "Zg=="},         {"fo", "Zm8="},         {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"},
  };
  for (auto [plain, encoded] : cases) {
    EXPECT_EQ(base64_encode(bytes_of(plain)), encoded) << plain;
    auto decoded = base64_decode(encoded);
    ASSERT_TRUE(decoded) << encoded;
    EXPECT_EQ(*decoded, bytes_of(plain));
  }
}

TEST(Base64, RoundTripsEveryLengthOfRandomBytes) {
  std::mt19937 rng(7);
  for (size_t n = 0; n < 300; ++n) {
    std::vector<uint8_t> data(n);
    for (auto& b : data) b = static_cast<uint8_t>(rng());
    auto decoded = base64_decode(base64_encode(data));
    ASSERT_TRUE(decoded);
    EXPECT_EQ(*decoded, data);
  }
}

TEST(Base64, RejectsMalformedText) {
  const char* cases[] = {
      "Zg",        // not a multiple of four
      "Zg=",       // short padding
      "Z===",      // too much padding
      "Zg==Zg==",  // padding in the middle
      "Zm9v\n",    // whitespace
      "Zm-v",      // URL-safe alphabet
      "Zh==",      // non-zero unused bits
      "Zm9=",      // non-zero unused bits
      "=Zm9",      // padding first
      "Zm=v",      // padding then data
  };
  for (const char* text : cases) EXPECT_FALSE(base64_decode(text)) << text;
}

}  // namespace
}  // namespace tev
