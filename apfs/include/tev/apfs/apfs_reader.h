#pragma once

#include <cstdint>
#include <expected>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "tev/apfs/apfs_error.h"
#include "tev/common/buffer.h"
#include "tev/common/byte_sink.h"
#include "tev/common/byte_source.h"
#include "tev/common/file_pieces.h"
#include "tev/common/fs_values.h"

namespace tev::apfs {

// One entry of a directory listing.
struct ApfsDirEntry {
  std::string name;
  fs::EntryKind kind = fs::EntryKind::File;
  uint64_t size = 0;
  uint64_t oid = 0;
};

// A file ready to be read: its pieces in order, `length` bytes in all.
struct FileReadPlan {
  std::vector<FilePiece> pieces;
  uint64_t length = 0;
  std::vector<uint8_t> inline_data;  // a symbolic link's target, read from its attribute
};

// The container's structures, behind the reader.
class Container;

// The first volume of an opened APFS container, answering queries by path.
class ApfsReader {
 public:
  ApfsReader(ApfsReader&&) noexcept;
  ApfsReader& operator=(ApfsReader&&) noexcept;
  ~ApfsReader();

  std::expected<std::vector<ApfsDirEntry>, ApfsError> list_directory(std::string_view path) const;
  std::expected<fs::FileStat, ApfsError> stat(std::string_view path) const;
  std::expected<FileReadPlan, ApfsError> plan_file(std::string_view path) const;
  // Reads a planned file into out (exactly plan.length bytes) or a sink.
  std::expected<void, ApfsError> read_planned(const FileReadPlan& plan, std::span<uint8_t> out) const;
  std::expected<uint64_t, ApfsError> read_planned(const FileReadPlan& plan, ByteSink& sink) const;
  std::expected<Buffer, ApfsError> read_file(std::string_view path) const;
  std::expected<std::vector<fs::WalkEntry>, ApfsError> walk() const;
  // False for a path that is missing or runs through a file or a link.
  std::expected<bool, ApfsError> exists(std::string_view path) const;
  // The path as walk() lists it, each component spelt as the volume stores it.
  std::expected<std::string, ApfsError> stored_path(std::string_view path) const;
  fs::VolumeInfo volume_info() const;

 private:
  friend std::expected<ApfsReader, ApfsError> open_container(ByteSource source);
  explicit ApfsReader(std::unique_ptr<Container> container);

  std::unique_ptr<Container> container_;
};

// Reads the container superblock (the newest of block 0 and the checkpoint
// area), picks the first volume and finds its file-system tree. The source
// is released when opening fails.
std::expected<ApfsReader, ApfsError> open_container(ByteSource source);

}  // namespace tev::apfs
