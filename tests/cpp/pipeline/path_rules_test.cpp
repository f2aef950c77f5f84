#include "tev/pipeline/path_rules.h"

#include <gtest/gtest.h>

namespace tev::pipeline {
namespace {

TEST(SanitizePath, KeepsNormalComponentsOnly) {
  const std::pair<const char*, const char*> cases[] = {
      {"/Applications/./Foo.app/Contents", "Applications/Foo.app/Contents"},
      {"a//b", "a/b"},
      {"./a/b/", "a/b"},
      {"///x", "x"},
      {"a\\b:c", "a\\b:c"},  // ordinary characters on a POSIX host
      {"...", "..."},
      {"..a/b..", "..a/b.."},
  };
  for (auto [in, out] : cases) {
    auto r = sanitize_path(in);
    ASSERT_TRUE(r) << in;
    EXPECT_EQ(*r, out);
  }
}

TEST(SanitizePath, RefusesTraversalAndEmptyResults) {
  const std::pair<const char*, const char*> cases[] = {
      {"../etc/passwd", "path traversal detected: ../etc/passwd"},
      {"a/../b", "path traversal detected: a/../b"},
      {"a/b/..", "path traversal detected: a/b/.."},
      {"/..", "path traversal detected: /.."},  // the first ".." decides
      {"/", "empty path after sanitization: /"},
      {".", "empty path after sanitization: ."},
      {"./", "empty path after sanitization: ./"},
      {"", "empty path after sanitization: "},
  };
  for (auto [in, detail] : cases) {
    auto r = sanitize_path(in);
    ASSERT_FALSE(r) << in;
    EXPECT_EQ(r.error().kind(), PipelineErrorKind::InvalidPath);
    EXPECT_EQ(r.error().message(), std::string("invalid path: ") + detail);
  }
}

TEST(StripBasePrefix, ReturnsWhatLiesStrictlyBelowTheBase) {
  struct Case {
    const char* path;
    const char* base;
    std::optional<std::string> expected;
  };
  const Case cases[] = {
      {"a/b/c", "a/b", "c"}, {"a/b", "a/b", std::nullopt}, {"a/bc", "a/b", std::nullopt},
      {"x", "", "x"},        {"a/b/", "a/b", ""},          {"a", "a/b", std::nullopt},
      {"b/a/c", "a", std::nullopt}, {"a/b/c/d", "a", "b/c/d"},
  };
  for (const auto& c : cases) EXPECT_EQ(strip_base_prefix(c.path, c.base), c.expected) << c.path;
}

}  // namespace
}  // namespace tev::pipeline
