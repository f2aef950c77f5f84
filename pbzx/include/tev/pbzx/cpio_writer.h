#pragma once

#include <cstdint>
#include <expected>
#include <span>
#include <string_view>
#include <vector>

#include "tev/pbzx/pbzx_error.h"

namespace tev::pbzx {

// Writes a "070701" CPIO archive in memory.
class CpioWriter {
 public:
  static constexpr uint32_t kFile = 0100000, kDirectory = 0040000, kSymlink = 0120000;

  // Only the low 12 bits of `mode` are used; the type bits are the kind's.
  std::expected<void, PbzxError> add_file(std::string_view path, std::span<const uint8_t> content, uint32_t mode);
  void add_directory(std::string_view path, uint32_t mode);
  void add_symlink(std::string_view path, std::string_view target, uint32_t mode);
  // Appends the trailer and hands over the archive.
  std::vector<uint8_t> finish() &&;

  size_t size() const { return buffer_.size(); }

 private:
  void entry(std::string_view name, std::span<const uint8_t> data, uint32_t mode);

  std::vector<uint8_t> buffer_;
  uint32_t next_ino_ = 1;
};

}  // namespace tev::pbzx
