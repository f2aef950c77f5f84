// Object maps: virtual object IDs to physical blocks.
#include <functional>
#include <unordered_set>

#include <fmt/format.h>

#include "tev/common/byte_cursor.h"
#include "tev/common/tree_depth.h"

#include "container.h"

namespace tev::apfs {
namespace {

constexpr size_t kOmapKeySize = 16;
constexpr size_t kOmapValueSize = 16;

struct OmapKey {
  uint64_t oid;
  uint64_t xid;
  auto operator<=>(const OmapKey&) const = default;
};

OmapKey omap_key(StructView<kOmapKeySize> key) { return {key.le<uint64_t, 0>(), key.le<uint64_t, 8>()}; }

std::expected<uint64_t, ApfsError> omap_paddr(std::span<const uint8_t> value) {
  auto v = StructView<kOmapValueSize>::of(value);
  if (!v) return std::unexpected(ApfsError::invalid_btree("omap value too short"));
  return v->le<uint64_t, 8>();
}

std::unexpected<ApfsError> resolved_to_zero(uint64_t oid) {
  return std::unexpected(ApfsError::corrupted(fmt::format("OMAP lookup: OID {} resolved to paddr 0", oid)));
}

}  // namespace

// Entries of one object are sorted by xid, so the live one is the last entry
// not above (oid, max_xid); the descent follows the same rule. A tree that
// does not lead there (damaged, or ordered otherwise) is searched in full.
std::expected<uint64_t, ApfsError> Container::omap_lookup(uint64_t root, uint64_t oid, uint64_t max_xid) const {
  const OmapKey target{oid, max_xid};
  auto root_node = node(root);
  if (!root_node) return std::unexpected(root_node.error());
  const FixedSizes fixed = (*root_node)->fixed_sizes();
  NodeRef current = *root_node;
  for (unsigned level = 0; level <= kMaxTreeDepth && current; ++level) {
    std::optional<size_t> chosen;
    std::optional<OmapKey> chosen_key;
    for (size_t i = 0; i < current->size(); ++i) {
      auto key = entry_key(*current, i, fixed);
      if (!key) return std::unexpected(key.error());
      auto full = StructView<kOmapKeySize>::of(*key);
      if (!full) continue;
      OmapKey k = omap_key(*full);
      if (k > target) break;
      chosen = i;
      chosen_key = k;
    }
    if (!chosen) break;
    if (current->is_leaf()) {
      if (chosen_key->oid != oid) break;
      auto value = entry_value(*current, *chosen, fixed);
      if (!value) return std::unexpected(value.error());
      auto paddr = omap_paddr(*value);
      if (!paddr) return paddr;
      if (*paddr == 0) return resolved_to_zero(oid);
      return *paddr;
    }
    auto child = child_oid(*current, *chosen, fixed);
    if (!child) return std::unexpected(child.error());
    auto next = node(*child);
    if (!next) return std::unexpected(next.error());
    current = *next;
  }

  // Every leaf entry of the object, in tree order; each node at most once.
  std::optional<std::pair<uint64_t, uint64_t>> best;  // (xid, paddr)
  bool any = false;
  bool any_complete = false;
  std::unordered_set<uint64_t> seen;
  std::function<std::expected<void, ApfsError>(uint64_t, unsigned)> visit =
      [&](uint64_t paddr, unsigned depth) -> std::expected<void, ApfsError> {
    if (depth > kMaxTreeDepth || !seen.insert(paddr).second)
      return std::unexpected(ApfsError::invalid_btree(fmt::format("object map node {} is reached twice", paddr)));
    auto n = node(paddr);
    if (!n) return std::unexpected(n.error());
    for (size_t i = 0; i < (*n)->size(); ++i) {
      if (!(*n)->is_leaf()) {
        auto child = child_oid(**n, i, fixed);
        if (!child) return std::unexpected(child.error());
        if (auto r = visit(*child, depth + 1); !r) return r;
        continue;
      }
      auto key = entry_key(**n, i, fixed);
      if (!key) return std::unexpected(key.error());
      auto key_oid = read_le<uint64_t>(*key, 0);
      if (!key_oid || *key_oid != oid) continue;
      any = true;
      auto full = StructView<kOmapKeySize>::of(*key);
      if (!full) continue;
      any_complete = true;
      uint64_t xid = full->le<uint64_t, 8>();
      if (xid > max_xid || (best && xid < best->first)) continue;
      auto value = entry_value(**n, i, fixed);
      if (!value) return std::unexpected(value.error());
      auto paddr = omap_paddr(*value);
      if (!paddr) return std::unexpected(paddr.error());
      best = {xid, *paddr};
    }
    return {};
  };
  if (auto r = visit(root, 0); !r) return std::unexpected(r.error());
  if (!any) return std::unexpected(ApfsError::corrupted(fmt::format("OMAP lookup failed: OID {} not found", oid)));
  // Entries that are all newer than the state asked for map nothing in it.
  if (!best && any_complete)
    return std::unexpected(ApfsError::corrupted(fmt::format("OMAP lookup failed: OID {} not found", oid)));
  if (!best || best->second == 0) return resolved_to_zero(oid);
  return best->second;
}

}  // namespace tev::apfs
