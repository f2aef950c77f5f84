#pragma once

#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "tev/common/buffer.h"
#include "tev/common/io_error.h"
#include "tev/common/memory.h"
#include "tev/common/temp_file.h"

namespace tev {

// The random-access input of every reader: a host file or an anonymous
// temporary file behind a small read buffer, or an owned memory buffer.
// Reads are positioned: there is no hidden read position, and a source may be
// read from several threads at once.
class ByteSource {
 public:
  static constexpr size_t kBufferSize = 8192;

  static std::expected<ByteSource, IoError> open_file(const std::string& path);
  static std::expected<ByteSource, IoError> from_temp_file(TempFile file);
  static ByteSource from_bytes(std::vector<uint8_t> bytes);  // copied
  static ByteSource from_buffer(Buffer bytes);
  static ByteSource from_memory(ZeroedMemory bytes);

  ByteSource(ByteSource&&) noexcept;
  ByteSource& operator=(ByteSource&&) noexcept;
  ~ByteSource();

  // The length of the input, taken when the source was opened.
  uint64_t size() const;

  // Reads exactly out.size() bytes at offset; fewer is "failed to fill whole buffer".
  std::expected<void, IoError> read_exact_at(uint64_t offset, std::span<uint8_t> out) const;
  // The same, never through the read buffer: for file contents, which are
  // read once and would only push out the metadata kept there.
  std::expected<void, IoError> read_direct_at(uint64_t offset, std::span<uint8_t> out) const;
  // The same into a new vector. The length is checked against size() before
  // anything is allocated, so an absurd length read from a file costs nothing.
  std::expected<std::vector<uint8_t>, IoError> read_vec_at(uint64_t offset, uint64_t length) const;

  // The bytes themselves when the source is held in memory.
  std::optional<std::span<const uint8_t>> memory() const;

 private:
  struct State;
  explicit ByteSource(std::unique_ptr<State> state);
  std::unique_ptr<State> state_;
};

}  // namespace tev
