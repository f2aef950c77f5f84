#pragma once

#include <cstdint>
#include <expected>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "tev/common/buffer.h"
#include "tev/common/byte_sink.h"
#include "tev/common/byte_source.h"
#include "tev/common/file_pieces.h"
#include "tev/common/fs_values.h"
#include "tev/hfsplus/hfs_error.h"

namespace tev::hfsplus {

// A file ready to be read: where its data fork lies and how long it says it is.
struct FileReadPlan {
  std::string path;  // as the caller gave it, for the error text
  uint64_t declared_size = 0;
  std::vector<FilePiece> runs;
  uint64_t length = 0;  // what the runs hold; below declared_size when the extent chain ends early
};

// The volume's structures, behind the reader.
class Volume;

// An opened HFS+ or HFSX volume, answering queries by path. Its B-tree nodes
// and the folders its paths lead through are cached inside; the caches
// guard themselves.
class HfsReader {
 public:
  HfsReader(HfsReader&&) noexcept;
  HfsReader& operator=(HfsReader&&) noexcept;
  ~HfsReader();

  std::expected<std::vector<fs::DirEntry>, HfsError> list_directory(std::string_view path) const;
  std::expected<Buffer, HfsError> read_file(std::string_view path) const;
  std::expected<FileReadPlan, HfsError> plan_file(std::string_view path) const;
  // Reads a planned file into out (exactly plan.length bytes), then reports
  // a chain that ended before the declared size.
  std::expected<void, HfsError> read_planned(const FileReadPlan& plan, std::span<uint8_t> out) const;
  std::expected<uint64_t, HfsError> read_planned(const FileReadPlan& plan, ByteSink& sink) const;
  std::expected<fs::FileStat, HfsError> stat(std::string_view path) const;
  std::expected<std::vector<fs::WalkEntry>, HfsError> walk() const;
  // False for a path that is missing or runs through a file or a link.
  std::expected<bool, HfsError> exists(std::string_view path) const;
  // The path as walk() lists it, each component spelt as the volume stores it.
  std::expected<std::string, HfsError> stored_path(std::string_view path) const;
  fs::VolumeInfo volume_info() const;

 private:
  friend std::expected<HfsReader, HfsError> open_volume(ByteSource source);
  explicit HfsReader(std::unique_ptr<Volume> volume);

  std::unique_ptr<Volume> volume_;
};

// Reads the volume header and both B-tree header nodes. The source is
// released when opening fails.
std::expected<HfsReader, HfsError> open_volume(ByteSource source);

}  // namespace tev::hfsplus
