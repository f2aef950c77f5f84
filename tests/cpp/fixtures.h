#pragma once

// Where the shared sample files live, and reading them.
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

namespace tev::testing {

inline std::filesystem::path fixtures_dir() { return TEV_FIXTURES_DIR; }

inline std::vector<uint8_t> read_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

}  // namespace tev::testing
