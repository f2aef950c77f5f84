#pragma once

#include <expected>
#include <optional>
#include <string>
#include <string_view>

#include "tev/pipeline/pipeline_error.h"

namespace tev::pipeline {

// Turns a path read from inside an image into a relative host path that stays
// below any directory it is joined to: root and "." components are dropped,
// any ".." is refused outright ("a/../b" as much as "../b"), and a path with
// nothing left is refused too.
std::expected<std::string, PipelineError> sanitize_path(std::string_view path);

// The part of path below base: "c" for ("a/b/c", "a/b"); nothing when path
// does not lie strictly below base ("a/b", "a/bc"). An empty base keeps path.
std::optional<std::string> strip_base_prefix(std::string_view path, std::string_view base);

}  // namespace tev::pipeline
