#pragma once

#include <cstdint>
#include <expected>
#include <span>
#include <string>

#include "tev/common/byte_sink.h"
#include "tev/pbzx/pbzx_error.h"

namespace tev::pbzx {

// Writes a PBZX stream to a file: the header, then every piece of at most
// chunk_size bytes as its own xz stream.
class PbzxStreamWriter {
 public:
  static constexpr uint64_t kDefaultChunkSize = 16 << 20;
  static constexpr uint64_t kHeaderFlags = uint64_t{1} << 56;

  static std::expected<PbzxStreamWriter, IoError> create(const std::string& path, uint64_t chunk_size,
                                                         uint32_t level);

  std::expected<void, PbzxError> write_cpio(std::span<const uint8_t> data);
  std::expected<void, PbzxError> finish();
  uint64_t total_written() const { return total_; }

 private:
  PbzxStreamWriter(FileSink sink, uint64_t chunk_size, uint32_t level)
      : sink_(std::move(sink)), chunk_size_(chunk_size), level_(level) {}
  std::expected<void, PbzxError> write_header();
  std::expected<void, PbzxError> put(std::span<const uint8_t> bytes);

  FileSink sink_;
  uint64_t chunk_size_;
  uint32_t level_;
  uint64_t total_ = 0;
  bool header_written_ = false;
};

}  // namespace tev::pbzx
