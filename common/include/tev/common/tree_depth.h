#pragma once

#include <string>

namespace tev {

// How deep a descent of an on-disk B-tree may go. No real tree comes near
// this; a descent that does is following a cycle.
inline constexpr unsigned kMaxTreeDepth = 32;

// The text every reader gives for such a descent.
inline std::string too_deep_text() {
  return "descent passes more than " + std::to_string(kMaxTreeDepth) + " levels; the tree's links form a cycle";
}

}  // namespace tev
