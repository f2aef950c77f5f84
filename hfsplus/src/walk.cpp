// The whole tree, depth first, each folder's entries in catalog order.
#include <unordered_set>

#include "tev/hfsplus/hfs_reader.h"

namespace tev::hfsplus {

std::expected<std::vector<fs::WalkEntry>, HfsError> HfsReader::walk() const {
  struct Level {
    std::string path;  // the folder's own path, "" for the root
    std::vector<HfsDirEntry> entries;
    size_t next = 0;
  };
  std::vector<fs::WalkEntry> out;
  std::unordered_set<uint32_t> entered{kRootFolderId};
  auto root = list_folder(*this, kRootFolderId);
  if (!root) return std::unexpected(root.error());
  std::vector<Level> stack;
  stack.push_back({"", std::move(*root)});
  while (!stack.empty()) {
    Level& level = stack.back();
    if (level.next == level.entries.size()) {
      stack.pop_back();
      continue;
    }
    HfsDirEntry& e = level.entries[level.next++];
    std::string path = level.path + "/" + e.name;
    out.push_back({path, std::move(e.name), e.kind, e.size});
    if (e.kind != fs::EntryKind::Directory) continue;
    // A folder met twice means the catalog's parent links form a cycle.
    if (!entered.insert(e.cnid).second)
      return std::unexpected(HfsError::corrupted("folder " + std::to_string(e.cnid) + " appears twice in the tree"));
    auto children = list_folder(*this, e.cnid);
    if (!children) return std::unexpected(children.error());
    stack.push_back({std::move(path), std::move(*children)});
  }
  return out;
}

}  // namespace tev::hfsplus
