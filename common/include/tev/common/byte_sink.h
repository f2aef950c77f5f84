#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "tev/common/io_error.h"
#include "tev/common/unique_fd.h"

namespace tev {

// Where decoded bytes go: a host file, a temporary file or memory.
class ByteSink {
 public:
  virtual ~ByteSink() = default;
  virtual std::expected<void, IoError> write(std::span<const uint8_t> bytes) = 0;
};

// What an extractor may carry over from an archive to what it writes:
// permission bits (never setuid, setgid or sticky) and a modification time
// in seconds since 1970.
struct FileAttributes {
  std::optional<uint16_t> mode;
  std::optional<int64_t> mtime;
  bool empty() const { return !mode && !mtime; }
};

// Sets them on an open file or directory.
std::expected<void, IoError> apply_attributes(int fd, const FileAttributes& attributes);

// Appends to a vector the caller owns.
class VectorSink final : public ByteSink {
 public:
  explicit VectorSink(std::vector<uint8_t>& out) : out_(&out) {}
  std::expected<void, IoError> write(std::span<const uint8_t> bytes) override;

 private:
  std::vector<uint8_t>* out_;
};

// A file written through a buffer. finish() flushes and closes, reporting any
// error of either; dropping an unfinished sink flushes on a best-effort basis.
class FileSink final : public ByteSink {
 public:
  static constexpr size_t kBufferSize = 256 * 1024;

  // Creates or truncates a host file for writing.
  static std::expected<FileSink, IoError> create(const std::string& path);
  explicit FileSink(UniqueFd fd);
  FileSink(FileSink&&) noexcept = default;
  FileSink& operator=(FileSink&&) noexcept = default;
  ~FileSink() override;

  std::expected<void, IoError> write(std::span<const uint8_t> bytes) override;
  // Writes past the buffer: for a whole file's contents in one call.
  std::expected<void, IoError> write_through(std::span<const uint8_t> bytes);
  std::expected<void, IoError> flush();
  std::expected<void, IoError> finish();
  // Flushes, then sets the attributes (a later write would change the time).
  std::expected<void, IoError> set_attributes(const FileAttributes& attributes);
  uint64_t bytes_written() const { return written_; }

 private:
  std::expected<void, IoError> write_all(std::span<const uint8_t> bytes);

  UniqueFd fd_;
  std::vector<uint8_t> buffer_;
  uint64_t written_ = 0;
};

}  // namespace tev
