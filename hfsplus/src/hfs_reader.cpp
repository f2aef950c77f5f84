// Opening a volume, and the queries answered over it.
#include "tev/hfsplus/hfs_reader.h"

#include <fmt/format.h>

#include "tev/common/checked.h"

#include "catalog.h"
#include "extents.h"
#include "volume.h"

namespace tev::hfsplus {
namespace {

fs::FileStat stat_of(const CatalogFolder& folder) {
  fs::FileStat st;
  st.fs_type = fs::FsType::HfsPlus;
  st.id = folder.folder_id;
  st.kind = fs::EntryKind::Directory;
  st.uid = folder.bsd.owner_id;
  st.gid = folder.bsd.group_id;
  st.mode = folder.bsd.file_mode;
  st.create_time = folder.dates.create;
  st.modify_time = folder.dates.content_modify;
  st.data_fork_extents = 0;
  return st;
}

fs::FileStat stat_of(const CatalogFile& file) {
  fs::FileStat st;
  st.fs_type = fs::FsType::HfsPlus;
  st.id = file.file_id;
  st.kind = file.is_symlink() ? fs::EntryKind::Symlink : fs::EntryKind::File;
  st.size = file.data_fork.logical_size;
  st.uid = file.bsd.owner_id;
  st.gid = file.bsd.group_id;
  st.mode = file.bsd.file_mode;
  st.create_time = file.dates.create;
  st.modify_time = file.dates.content_modify;
  uint32_t used = 0;
  for (const auto& e : file.data_fork.extents) used += e.block_count != 0;
  st.data_fork_extents = used;
  if (file.resource_fork.logical_size != 0) st.resource_fork_size = file.resource_fork.logical_size;
  return st;
}

}  // namespace

HfsReader::HfsReader(std::unique_ptr<Volume> volume) : volume_(std::move(volume)) {}
HfsReader::HfsReader(HfsReader&&) noexcept = default;
HfsReader& HfsReader::operator=(HfsReader&&) noexcept = default;
HfsReader::~HfsReader() = default;

std::expected<HfsReader, HfsError> open_volume(ByteSource source) {
  auto volume = Volume::open(std::move(source));
  if (!volume) return std::unexpected(volume.error());
  return HfsReader(std::move(*volume));
}

std::expected<std::vector<fs::DirEntry>, HfsError> HfsReader::list_directory(std::string_view path) const {
  auto resolved = resolve(*volume_, path);
  if (!resolved) return std::unexpected(resolved.error());
  const auto* folder = std::get_if<CatalogFolder>(&resolved->record);
  if (folder == nullptr) {
    if (std::holds_alternative<CatalogFile>(resolved->record))
      return std::unexpected(HfsError::not_a_directory(std::string(path)));
    return std::unexpected(HfsError::corrupted("unexpected thread record"));
  }
  auto entries = list_folder(*volume_, folder->folder_id);
  if (!entries) return std::unexpected(entries.error());
  std::vector<fs::DirEntry> out;
  out.reserve(entries->size());
  for (auto& e : *entries) out.push_back({std::move(e.name), e.kind, e.size});
  return out;
}

std::expected<FileReadPlan, HfsError> HfsReader::plan_file(std::string_view path) const {
  auto resolved = resolve(*volume_, path);
  if (!resolved) return std::unexpected(resolved.error());
  if (std::holds_alternative<CatalogFolder>(resolved->record))
    return std::unexpected(HfsError::is_a_directory(std::string(path)));
  const auto* link = std::get_if<CatalogFile>(&resolved->record);
  if (link == nullptr) return std::unexpected(HfsError::corrupted("unexpected thread record"));
  auto file = volume_->link_target(*link);
  if (!file) return std::unexpected(file.error());
  FileReadPlan plan;
  plan.path = std::string(path);
  plan.declared_size = file->data_fork.logical_size;
  if (plan.declared_size == 0) return plan;
  auto runs = plan_fork(*volume_, file->data_fork, file->file_id);
  if (!runs) return std::unexpected(runs.error());
  plan.runs = std::move(*runs);
  uint64_t limit = volume_->source().size();
  for (const auto& run : plan.runs) {
    // A run past the end of the partition would fail when read; fail now,
    // before anything is allocated for it.
    if (!range_fits(run.offset, run.length, limit)) return std::unexpected(HfsError(IoError::unexpected_eof()));
  }
  plan.length = pieces_length(plan.runs);
  if (plan.length > kMaxFileSize)
    return std::unexpected(HfsError::corrupted(fmt::format(
        "file {} maps {} bytes through overlapping extents, more than the {} a file may hold", plan.path,
        plan.length, kMaxFileSize)));
  return plan;
}

namespace {

std::expected<void, HfsError> check_declared(const FileReadPlan& plan) {
  if (plan.length == plan.declared_size) return {};
  return std::unexpected(HfsError::corrupted(
      fmt::format("file {} declares {} bytes but only {} could be read; its extent chain ends early", plan.path,
                  plan.declared_size, plan.length)));
}

}  // namespace

std::expected<void, HfsError> HfsReader::read_planned(const FileReadPlan& plan, std::span<uint8_t> out) const {
  if (auto r = read_pieces(volume_->source(), plan.runs, out); !r) return std::unexpected(r.error());
  return check_declared(plan);
}

std::expected<uint64_t, HfsError> HfsReader::read_planned(const FileReadPlan& plan, ByteSink& sink) const {
  auto produced = read_pieces(volume_->source(), plan.runs, sink);
  if (!produced) return std::unexpected(produced.error());
  if (auto r = check_declared(plan); !r) return std::unexpected(r.error());
  return produced;
}

std::expected<Buffer, HfsError> HfsReader::read_file(std::string_view path) const {
  auto plan = plan_file(path);
  if (!plan) return std::unexpected(plan.error());
  Buffer out(static_cast<size_t>(plan->length));
  if (auto r = read_planned(*plan, out); !r) return std::unexpected(r.error());
  return out;
}

std::expected<fs::FileStat, HfsError> HfsReader::stat(std::string_view path) const {
  auto resolved = resolve(*volume_, path);
  if (!resolved) return std::unexpected(resolved.error());
  if (const auto* folder = std::get_if<CatalogFolder>(&resolved->record)) return stat_of(*folder);
  const auto* link = std::get_if<CatalogFile>(&resolved->record);
  if (link == nullptr) return std::unexpected(HfsError::corrupted("unexpected thread record"));
  auto file = volume_->link_target(*link);
  if (!file) return std::unexpected(file.error());
  return stat_of(*file);
}

std::expected<bool, HfsError> HfsReader::exists(std::string_view path) const {
  auto resolved = resolve(*volume_, path);
  if (resolved) return true;
  // A path through a file or a link names nothing; only damage is an error.
  auto kind = resolved.error().kind();
  if (kind == HfsError::Kind::FileNotFound || kind == HfsError::Kind::NotADirectory) return false;
  return std::unexpected(resolved.error());
}

std::expected<std::string, HfsError> HfsReader::stored_path(std::string_view path) const {
  return hfsplus::stored_path(*volume_, path);
}

fs::VolumeInfo HfsReader::volume_info() const {
  fs::VolumeInfo info;
  info.fs_type = fs::FsType::HfsPlus;
  info.block_size = volume_->header().block_size;
  info.file_count = volume_->header().file_count;
  info.directory_count = volume_->header().folder_count;
  info.total_blocks = volume_->header().total_blocks;
  info.free_blocks = volume_->header().free_blocks;
  info.version = volume_->header().version;
  info.is_hfsx = volume_->header().is_hfsx;
  info.name = volume_->name();
  return info;
}

}  // namespace tev::hfsplus
