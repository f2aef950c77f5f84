// Opening a volume: its header, both B-trees, the hard-link folder.
#include "volume.h"

#include <mutex>
#include <string>
#include <unordered_map>

#include "extents.h"
#include "unicode.h"

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

}  // namespace

struct Volume::FolderCache {
  static constexpr size_t kMaxEntries = 1 << 16;
  std::mutex lock;
  std::unordered_map<std::string, uint32_t> ids;
};

Volume::Volume(ByteSource source) : source_(std::move(source)), folders_(std::make_unique<FolderCache>()) {}
Volume::~Volume() = default;

std::optional<uint32_t> Volume::cached_folder(std::string_view path) const {
  std::lock_guard guard(folders_->lock);
  auto it = folders_->ids.find(std::string(path));
  if (it == folders_->ids.end()) return std::nullopt;
  return it->second;
}

void Volume::remember_folder(std::string_view path, uint32_t folder_id) const {
  std::lock_guard guard(folders_->lock);
  if (folders_->ids.size() >= FolderCache::kMaxEntries) folders_->ids.clear();
  folders_->ids.emplace(std::string(path), folder_id);
}

std::expected<std::unique_ptr<Volume>, HfsError> Volume::open(ByteSource source) {
  std::unique_ptr<Volume> v(new Volume(std::move(source)));
  auto header = read_volume_header(v->source_);
  if (!header) return std::unexpected(header.error());
  v->header_ = *header;
  auto catalog = read_header_node(v->source_, header->catalog_file, header->block_size);
  if (!catalog) return std::unexpected(catalog.error());
  auto extents = read_header_node(v->source_, header->extents_file, header->block_size);
  if (!extents) return std::unexpected(extents.error());
  v->extents_ = std::make_unique<BTree>(v->source_, std::move(*extents));
  if (auto r = add_overflow_extents(*catalog, *v->extents_); !r) return std::unexpected(r.error());
  v->catalog_ = std::make_unique<BTree>(v->source_, std::move(*catalog));
  // Without the folder, hard links read as the empty files they are on disk.
  if (auto folder = lookup(*v, kRootFolderId, kPrivateDataName); folder && *folder)
    if (const auto* f = std::get_if<CatalogFolder>(&**folder)) v->private_data_folder_ = f->folder_id;
  // The volume's name is its root folder's, kept in the root's thread record
  // (keyed by the root's id and an empty name). A volume without one has none.
  if (auto thread = lookup(*v, kRootFolderId, ""); thread && *thread)
    if (const auto* t = std::get_if<CatalogThread>(&**thread)) {
      std::vector<uint8_t> be;
      for (uint16_t unit : t->name_units) {
        be.push_back(static_cast<uint8_t>(unit >> 8));
        be.push_back(static_cast<uint8_t>(unit));
      }
      v->name_ = name_to_utf8(be);
    }
  return v;
}

// A file hard link is an empty file record of type 'hlnk', creator 'hfs+';
// the file's data and metadata live in iNode<N> of the private data folder,
// N being the link's special field.
std::expected<CatalogFile, HfsError> Volume::link_target(const CatalogFile& file) const {
  if (!file.is_hard_link() || !private_data_folder_) return file;
  auto inode = lookup(*this, *private_data_folder_, "iNode" + std::to_string(file.bsd.special));
  if (!inode) return std::unexpected(inode.error());
  if (*inode)
    if (const auto* target = std::get_if<CatalogFile>(&**inode)) return *target;
  return file;
}

}  // namespace tev::hfsplus
