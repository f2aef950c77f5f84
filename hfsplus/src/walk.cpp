// The whole tree, depth first, each folder's entries in catalog order.
#include "tev/common/fs_walk.h"
#include "tev/hfsplus/hfs_reader.h"

#include "catalog.h"
#include "volume.h"

namespace tev::hfsplus {

std::expected<std::vector<fs::WalkEntry>, HfsError> HfsReader::walk() const {
  return fs::walk_tree<HfsDirEntry, HfsError>(
      kRootFolderId, [&](uint64_t id) { return list_folder(*volume_, static_cast<uint32_t>(id)); },
      [](const HfsDirEntry& e) { return uint64_t{e.cnid}; },
      [](uint64_t id) { return HfsError::corrupted("folder " + std::to_string(id) + " appears twice in the tree"); });
}

}  // namespace tev::hfsplus
