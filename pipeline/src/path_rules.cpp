#include "tev/pipeline/path_rules.h"

#include "tev/common/path.h"

namespace tev::pipeline {

std::expected<std::string, PipelineError> sanitize_path(std::string_view path) {
  std::string out;
  for (std::string_view part : split_path(path)) {
    if (part == ".") continue;
    if (part == "..")
      return std::unexpected(
          PipelineError::invalid_path("path traversal detected: " + std::string(path)));
    if (!out.empty()) out += '/';
    out += part;
  }
  if (out.empty())
    return std::unexpected(
        PipelineError::invalid_path("empty path after sanitization: " + std::string(path)));
  return out;
}

std::optional<std::string> strip_base_prefix(std::string_view path, std::string_view base) {
  if (base.empty()) return std::string(path);
  if (path.size() <= base.size() || !path.starts_with(base)) return std::nullopt;
  if (path[base.size()] != '/') return std::nullopt;
  return std::string(path.substr(base.size() + 1));
}

}  // namespace tev::pipeline
