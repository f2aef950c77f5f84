#include "tev/common/path.h"

namespace tev {

std::vector<std::string_view> split_path(std::string_view path) {
  std::vector<std::string_view> parts;
  for (size_t at = 0; at <= path.size();) {
    size_t slash = path.find('/', at);
    if (slash == std::string_view::npos) slash = path.size();
    if (slash > at) parts.push_back(path.substr(at, slash - at));
    at = slash + 1;
  }
  return parts;
}

std::string join_parts(const std::vector<std::string_view>& parts, size_t last) {
  std::string out;
  for (size_t i = 0; i <= last && i < parts.size(); ++i) {
    if (i > 0) out += '/';
    out += parts[i];
  }
  return out;
}

}  // namespace tev
