// Catalog queries: exact lookups, folder listings and path resolution.
#include "catalog.h"

#include <functional>

#include "tev/common/fs_walk.h"
#include "tev/common/path.h"

#include "btree.h"
#include "unicode.h"
#include "volume.h"

namespace tev::hfsplus {
namespace {

// Visits, in key order, every record whose key has parent_id as its parent.
// The visitor returns false to stop early.
using ChildVisitor = std::function<std::expected<bool, HfsError>(const CatalogKey&, std::span<const uint8_t>)>;

std::expected<void, HfsError> for_each_child(const Volume& reader, uint32_t parent_id,
                                             const ChildVisitor& visit) {
  CatalogSearchKey start{parent_id, {}, reader.is_hfsx()};
  auto leaf = find_leaf(reader.catalog(),
                        [&](std::span<const uint8_t> r) { return compare_catalog_key(r, start); });
  if (!leaf) return std::unexpected(leaf.error());
  LeafChain chain(reader.catalog());
  for (BTree::NodeRef node = *leaf; node;) {
    for (size_t i = 0; i < node->descriptor.num_records; ++i) {
      auto record = node_record(*node, i);
      if (!record) return std::unexpected(record.error());
      auto key = decode_catalog_key(*record);
      if (!key) return std::unexpected(key.error());
      if (key->parent_id < parent_id) continue;
      if (key->parent_id > parent_id) return {};
      auto go_on = visit(*key, *record);
      if (!go_on) return std::unexpected(go_on.error());
      if (!*go_on) return {};
    }
    auto next = chain.next(*node);
    if (!next) return std::unexpected(next.error());
    node = *next;
  }
  return {};
}

std::expected<std::optional<CatalogRecord>, HfsError> record_after_key(std::span<const uint8_t> record) {
  auto key = decode_catalog_key(record);
  if (!key) return std::unexpected(key.error());
  if (key->data_offset >= record.size()) return std::unexpected(HfsError::invalid_btree("record data missing after key"));
  auto decoded = decode_catalog_record(record.subspan(key->data_offset));
  if (!decoded) return std::unexpected(decoded.error());
  return *decoded;
}

// The name order of a volume is that of the system that wrote it, whose case
// folding covers more of Unicode than ours (and sorts NUL last, as the hard
// link folder's name shows). A name the descent misses is looked for among
// the folder's records too, with the same equality, before it is declared
// missing.
std::expected<std::optional<NamedRecord>, HfsError> scan_folder_for(const Volume& reader,
                                                                     const CatalogSearchKey& key) {
  std::optional<NamedRecord> match;
  auto scanned = for_each_child(reader, key.parent_id,
                                [&](const CatalogKey& found, std::span<const uint8_t> record) -> std::expected<bool, HfsError> {
                                  if (compare_catalog_key(record, key) != 0) return true;
                                  auto decoded = record_after_key(record);
                                  if (!decoded) return std::unexpected(decoded.error());
                                  match = NamedRecord{std::move(**decoded), name_to_utf8(found.name)};
                                  return false;
                                });
  if (!scanned) return std::unexpected(scanned.error());
  return match;
}

}  // namespace

std::expected<std::optional<NamedRecord>, HfsError> lookup_named(const Volume& reader, uint32_t parent_id,
                                                                  std::string_view name) {
  CatalogSearchKey key{parent_id, name_to_utf16(name), reader.is_hfsx()};
  auto hit = btree_search(reader.catalog(), [&](std::span<const uint8_t> r) { return compare_catalog_key(r, key); });
  if (!hit) return std::unexpected(hit.error());
  if (!*hit) {
    if (reader.catalog().info().root_node == 0) return std::nullopt;
    return scan_folder_for(reader, key);
  }
  auto record = (*hit)->bytes();
  if (!record) return std::unexpected(record.error());
  auto stored = decode_catalog_key(*record);
  if (!stored) return std::unexpected(stored.error());
  auto decoded = record_after_key(*record);
  if (!decoded) return std::unexpected(decoded.error());
  if (!*decoded) return std::nullopt;
  return NamedRecord{std::move(**decoded), name_to_utf8(stored->name)};
}

std::expected<std::optional<CatalogRecord>, HfsError> lookup(const Volume& reader, uint32_t parent_id,
                                                             std::string_view name) {
  auto found = lookup_named(reader, parent_id, name);
  if (!found) return std::unexpected(found.error());
  if (!*found) return std::nullopt;
  return std::move((*found)->record);
}

std::expected<std::vector<HfsDirEntry>, HfsError> list_folder(const Volume& reader, uint32_t folder_id) {
  std::vector<HfsDirEntry> entries;
  if (reader.catalog().info().root_node == 0) return entries;
  auto listed = for_each_child(
      reader, folder_id, [&](const CatalogKey& key, std::span<const uint8_t> record) -> std::expected<bool, HfsError> {
        // Damage here is what a lookup of the same name reports.
        auto decoded = record_after_key(record);
        if (!decoded) return std::unexpected(decoded.error());
        const CatalogRecord& found = **decoded;
        if (const auto* folder = std::get_if<CatalogFolder>(&found)) {
          entries.push_back({name_to_utf8(key.name), fs::EntryKind::Directory, 0, folder->folder_id});
        } else if (const auto* file = std::get_if<CatalogFile>(&found)) {
          auto target = reader.link_target(*file);
          if (!target) return std::unexpected(target.error());
          auto kind = target->is_symlink() ? fs::EntryKind::Symlink : fs::EntryKind::File;
          entries.push_back({name_to_utf8(key.name), kind, target->data_fork.logical_size, file->file_id});
        }
        return true;
      });
  if (!listed) return std::unexpected(listed.error());
  return entries;
}

std::expected<ResolvedPath, HfsError> resolve(const Volume& reader, std::string_view path) {
  size_t first = path.find_first_not_of('/');
  if (first == std::string_view::npos) {
    // The root folder's record is keyed by its parent (1) and the volume name.
    auto direct = lookup(reader, kRootParentId, "");
    if (!direct) return std::unexpected(direct.error());
    if (*direct) return ResolvedPath{std::move(**direct), ""};
    auto children = list_folder(reader, kRootParentId);
    if (!children) return std::unexpected(children.error());
    if (children->empty()) return std::unexpected(HfsError::file_not_found("root folder"));
    const std::string& name = children->front().name;
    auto root = lookup(reader, kRootParentId, name);
    if (!root) return std::unexpected(root.error());
    if (!*root) return std::unexpected(HfsError::file_not_found("root folder"));
    return ResolvedPath{std::move(**root), name};
  }
  auto parts = split_path(path);
  uint32_t parent = kRootFolderId;
  // The deepest folder on the way that an earlier query has already met.
  size_t start = 0;
  std::string prefix;
  for (size_t i = parts.size() - 1; i > 0; --i) {
    prefix = join_parts(parts, i - 1);
    if (auto id = reader.cached_folder(prefix)) {
      parent = *id;
      start = i;
      break;
    }
  }
  for (size_t i = start; i < parts.size(); ++i) {
    auto found = lookup(reader, parent, parts[i]);
    if (!found) return std::unexpected(found.error());
    if (!*found) return std::unexpected(HfsError::file_not_found(join_parts(parts, i)));
    CatalogRecord& record = **found;
    if (std::holds_alternative<CatalogThread>(record))
      return std::unexpected(HfsError::corrupted("unexpected thread record in path resolution"));
    if (i + 1 == parts.size()) return ResolvedPath{std::move(record), std::string(parts[i])};
    if (const auto* folder = std::get_if<CatalogFolder>(&record)) {
      parent = folder->folder_id;
      reader.remember_folder(join_parts(parts, i), parent);
    } else
      return std::unexpected(HfsError::not_a_directory(join_parts(parts, i)));
  }
  return std::unexpected(HfsError::file_not_found("root folder"));
}

std::expected<std::string, HfsError> stored_path(const Volume& reader, std::string_view path) {
  auto parts = split_path(path);
  std::string out;
  uint32_t parent = kRootFolderId;
  for (size_t i = 0; i < parts.size(); ++i) {
    auto found = lookup_named(reader, parent, parts[i]);
    if (!found) return std::unexpected(found.error());
    if (!*found) return std::unexpected(HfsError::file_not_found(join_parts(parts, i)));
    if (std::holds_alternative<CatalogThread>((*found)->record))
      return std::unexpected(HfsError::corrupted("unexpected thread record in path resolution"));
    out += '/';
    out += (*found)->name;
    if (i + 1 == parts.size()) break;
    const auto* folder = std::get_if<CatalogFolder>(&(*found)->record);
    if (folder == nullptr) return std::unexpected(HfsError::not_a_directory(join_parts(parts, i)));
    parent = folder->folder_id;
  }
  return out.empty() ? std::string("/") : out;
}

}  // namespace tev::hfsplus
