#include "tev/common/text.h"

#include <gtest/gtest.h>

namespace tev {
namespace {

TEST(Quoted, EscapesQuotesBackslashesAndControlCharacters) {
  const std::pair<std::string, std::string> cases[] = {
      {"", R"("")"},
      {"plain name.txt", R"("plain name.txt")"},
      {"say \"hi\"", R"("say \"hi\"")"},
      {"C:\\dir", R"("C:\\dir")"},
      {"a\nb\rc\td", R"("a\nb\rc\td")"},
      {std::string("nul\0byte", 8), R"("nul\0byte")"},
      {"\x1b[0m", R"("\u{1b}[0m")"},
      {"del\x7f", R"("del\u{7f}")"},
      {"\xc2\x85", R"("\u{85}")"},                    // C1 control NEL
      {"caf\xc3\xa9 \xe2\x9c\x93", "\"caf\xc3\xa9 \xe2\x9c\x93\""},  // kept as they are
      {"\xf0\x9f\x98\x80", "\"\xf0\x9f\x98\x80\""},
  };
  for (const auto& [text, expected] : cases) EXPECT_EQ(quoted_form(text), expected) << text;
}

TEST(Quoted, ReplacesMalformedUtf8) {
  EXPECT_EQ(quoted_form("a\xff" "b"), "\"a\xef\xbf\xbd" "b\"");
  EXPECT_EQ(quoted_form("\xc3"), "\"\xef\xbf\xbd\"");               // truncated
  EXPECT_EQ(quoted_form("\xc0\xaf"), "\"\xef\xbf\xbd\xef\xbf\xbd\"");  // overlong '/'
  EXPECT_EQ(quoted_form("\xed\xa0\x80"), "\"\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\"");  // surrogate
}

TEST(Utf8, TellsWellFormedFromMalformed) {
  EXPECT_FALSE(utf8_error(""));
  EXPECT_FALSE(utf8_error("caf\xc3\xa9"));
  EXPECT_FALSE(utf8_error("\xef\xbf\xbd"));  // U+FFFD itself
  EXPECT_TRUE(utf8_error("\xff"));
  EXPECT_TRUE(utf8_error("\xe2\x9c"));
  EXPECT_TRUE(utf8_error("\xf4\x90\x80\x80"));  // past U+10FFFF
}

}  // namespace
}  // namespace tev
