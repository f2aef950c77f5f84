#pragma once

#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "tev/apfs/apfs_reader.h"
#include "tev/common/buffer.h"
#include "tev/common/byte_sink.h"
#include "tev/common/fs_values.h"
#include "tev/hfsplus/hfs_reader.h"
#include "tev/pipeline/pipeline_error.h"

namespace tev::pipeline {

// A file of either file system, ready to be read.
struct FilePlan {
  std::variant<hfsplus::FileReadPlan, apfs::FileReadPlan> plan;
  uint64_t length = 0;
};

// One HFS+ or APFS reader over the partition it owns (an anonymous temporary
// file or a memory buffer). Every query is written once here and picks the
// reader; failures are the reader's error wrapped as HfsPlus or Apfs.
class OpenedFilesystem {
 public:
  using Reader = std::variant<hfsplus::HfsReader, apfs::ApfsReader>;

  OpenedFilesystem(Reader reader, bool in_memory) : reader_(std::move(reader)), in_memory_(in_memory) {}

  fs::FsType fs_type() const;
  bool in_memory() const { return in_memory_; }

  std::expected<std::vector<fs::DirEntry>, PipelineError> list_directory(std::string_view path) const;
  std::expected<FilePlan, PipelineError> plan_file(std::string_view path) const;
  std::expected<void, PipelineError> read_planned(const FilePlan& plan, std::span<uint8_t> out) const;
  std::expected<uint64_t, PipelineError> read_planned(const FilePlan& plan, ByteSink& sink) const;
  std::expected<Buffer, PipelineError> read_file(std::string_view path) const;
  std::expected<fs::FileStat, PipelineError> stat(std::string_view path) const;
  std::expected<std::vector<fs::WalkEntry>, PipelineError> walk() const;
  std::expected<bool, PipelineError> exists(std::string_view path) const;
  std::expected<std::string, PipelineError> stored_path(std::string_view path) const;
  fs::VolumeInfo volume_info() const;

  // The volume's own bookkeeping at its root, which macOS never shows: the
  // HFS+ hard-link folders and the journal files.
  bool is_hidden_metadata(std::string_view root_name) const;

 private:
  Reader reader_;
  bool in_memory_;
};

}  // namespace tev::pipeline
