#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace tev {

// A slash-separated path's components: leading, trailing and repeated
// slashes do not count. Every reader and writer of paths splits them here;
// each keeps its own rules for ".", ".." and what an empty path means.
std::vector<std::string_view> split_path(std::string_view path);
// Components 0..last joined with "/", as error texts name a path.
std::string join_parts(const std::vector<std::string_view>& parts, size_t last);

}  // namespace tev
