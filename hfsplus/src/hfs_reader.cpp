// Opening a volume, and the queries answered over it.
#include "tev/hfsplus/hfs_reader.h"

#include <fmt/format.h>

#include <mutex>
#include <unordered_map>

#include "tev/common/checked.h"

namespace tev::hfsplus {
namespace {

// The folder macOS keeps the inodes of file hard links in, under the root.
constexpr std::string_view kPrivateDataName("\0\0\0\0HFS+ Private Data", 21);

// A catalog that outgrew its eight inline extents continues in the extents
// overflow file like any other fork (the extents file itself never does).
std::expected<void, HfsError> add_overflow_extents(BTreeInfo& catalog, const BTree& extents_tree) {
  uint64_t blocks = 0;
  for (const auto& e : catalog.fork.extents) blocks += e.block_count;
  uint64_t needed = (catalog.fork.logical_size + catalog.block_size - 1) / catalog.block_size;
  while (blocks < needed && blocks <= UINT32_MAX) {
    auto record = find_overflow_extents(extents_tree, kCatalogFileId, static_cast<uint32_t>(blocks));
    if (!record) return std::unexpected(record.error());
    if (!*record) break;
    uint64_t added = 0;
    for (const auto& e : **record) {
      if (e.block_count == 0) break;
      catalog.extents.push_back(e);
      added += e.block_count;
    }
    if (added == 0) break;
    blocks += added;
  }
  return {};
}

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
  st.kind = fs::EntryKind::File;
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

struct HfsReader::FolderCache {
  static constexpr size_t kMaxEntries = 1 << 16;
  std::mutex lock;
  std::unordered_map<std::string, uint32_t> ids;
};

HfsReader::HfsReader() : folders_(std::make_unique<FolderCache>()) {}
HfsReader::HfsReader(HfsReader&&) noexcept = default;
HfsReader& HfsReader::operator=(HfsReader&&) noexcept = default;
HfsReader::~HfsReader() = default;

std::optional<uint32_t> HfsReader::cached_folder(std::string_view path) const {
  std::lock_guard guard(folders_->lock);
  auto it = folders_->ids.find(std::string(path));
  if (it == folders_->ids.end()) return std::nullopt;
  return it->second;
}

void HfsReader::remember_folder(std::string_view path, uint32_t folder_id) const {
  std::lock_guard guard(folders_->lock);
  if (folders_->ids.size() >= FolderCache::kMaxEntries) folders_->ids.clear();
  folders_->ids.emplace(std::string(path), folder_id);
}

std::expected<HfsReader, HfsError> open_volume(ByteSource source) {
  HfsReader reader;
  reader.source_ = std::make_unique<ByteSource>(std::move(source));
  auto header = read_volume_header(*reader.source_);
  if (!header) return std::unexpected(header.error());
  reader.header_ = *header;
  auto catalog = read_header_node(*reader.source_, header->catalog_file, header->block_size);
  if (!catalog) return std::unexpected(catalog.error());
  auto extents = read_header_node(*reader.source_, header->extents_file, header->block_size);
  if (!extents) return std::unexpected(extents.error());
  reader.extents_ = std::make_unique<BTree>(*reader.source_, std::move(*extents));
  if (auto r = add_overflow_extents(*catalog, *reader.extents_); !r) return std::unexpected(r.error());
  reader.catalog_ = std::make_unique<BTree>(*reader.source_, std::move(*catalog));
  // Without the folder, hard links read as the empty files they are on disk.
  if (auto folder = lookup(reader, kRootFolderId, kPrivateDataName); folder && *folder)
    if (const auto* f = std::get_if<CatalogFolder>(&**folder)) reader.private_data_folder_ = f->folder_id;
  return reader;
}

// A file hard link is an empty file record of type 'hlnk', creator 'hfs+';
// the file's data and metadata live in iNode<N> of the private data folder,
// N being the link's special field.
std::expected<CatalogFile, HfsError> HfsReader::link_target(const CatalogFile& file) const {
  if (!file.is_hard_link() || !private_data_folder_) return file;
  auto inode = lookup(*this, *private_data_folder_, "iNode" + std::to_string(file.bsd.special));
  if (!inode) return std::unexpected(inode.error());
  if (*inode)
    if (const auto* target = std::get_if<CatalogFile>(&**inode)) return *target;
  return file;
}

std::expected<std::vector<fs::DirEntry>, HfsError> HfsReader::list_directory(std::string_view path) const {
  auto resolved = resolve(*this, path);
  if (!resolved) return std::unexpected(resolved.error());
  const auto* folder = std::get_if<CatalogFolder>(&resolved->record);
  if (folder == nullptr) {
    if (std::holds_alternative<CatalogFile>(resolved->record))
      return std::unexpected(HfsError::not_a_directory(std::string(path)));
    return std::unexpected(HfsError::corrupted("unexpected thread record"));
  }
  auto entries = list_folder(*this, folder->folder_id);
  if (!entries) return std::unexpected(entries.error());
  std::vector<fs::DirEntry> out;
  out.reserve(entries->size());
  for (auto& e : *entries) out.push_back({std::move(e.name), e.kind, e.size});
  return out;
}

std::expected<FileReadPlan, HfsError> HfsReader::plan_file(std::string_view path) const {
  auto resolved = resolve(*this, path);
  if (!resolved) return std::unexpected(resolved.error());
  if (std::holds_alternative<CatalogFolder>(resolved->record))
    return std::unexpected(HfsError::not_a_directory(std::string(path)));
  const auto* link = std::get_if<CatalogFile>(&resolved->record);
  if (link == nullptr) return std::unexpected(HfsError::corrupted("unexpected thread record"));
  auto file = link_target(*link);
  if (!file) return std::unexpected(file.error());
  FileReadPlan plan;
  plan.path = std::string(path);
  plan.declared_size = file->data_fork.logical_size;
  if (plan.declared_size == 0) return plan;
  auto runs = plan_fork(*this, file->data_fork, file->file_id);
  if (!runs) return std::unexpected(runs.error());
  plan.runs = std::move(*runs);
  uint64_t limit = source_->size();
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
  if (auto r = read_pieces(*source_, plan.runs, out); !r) return std::unexpected(r.error());
  return check_declared(plan);
}

std::expected<uint64_t, HfsError> HfsReader::read_planned(const FileReadPlan& plan, ByteSink& sink) const {
  auto produced = read_pieces(*source_, plan.runs, sink);
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
  auto resolved = resolve(*this, path);
  if (!resolved) return std::unexpected(resolved.error());
  if (const auto* folder = std::get_if<CatalogFolder>(&resolved->record)) return stat_of(*folder);
  const auto* link = std::get_if<CatalogFile>(&resolved->record);
  if (link == nullptr) return std::unexpected(HfsError::corrupted("unexpected thread record"));
  auto file = link_target(*link);
  if (!file) return std::unexpected(file.error());
  return stat_of(*file);
}

std::expected<bool, HfsError> HfsReader::exists(std::string_view path) const {
  auto resolved = resolve(*this, path);
  if (resolved) return true;
  if (resolved.error().kind() == HfsError::Kind::FileNotFound) return false;
  return std::unexpected(resolved.error());
}

fs::VolumeInfo HfsReader::volume_info() const {
  fs::VolumeInfo info;
  info.fs_type = fs::FsType::HfsPlus;
  info.block_size = header_.block_size;
  info.file_count = header_.file_count;
  info.directory_count = header_.folder_count;
  info.total_blocks = header_.total_blocks;
  info.free_blocks = header_.free_blocks;
  info.version = header_.version;
  info.is_hfsx = header_.is_hfsx;
  return info;
}

}  // namespace tev::hfsplus
