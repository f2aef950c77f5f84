// Searches of the file-system tree. Its children are virtual object IDs,
// translated through the volume's object map.
#include <unordered_set>

#include <fmt/format.h>

#include "tev/common/tree_depth.h"

#include "container.h"

namespace tev::apfs {
namespace {

using KeyOrder = std::function<std::strong_ordering(std::span<const uint8_t>)>;

std::unexpected<ApfsError> too_deep() {
  return std::unexpected(ApfsError::invalid_btree(too_deep_text()));
}

}  // namespace

namespace {

// The first entry of a node whose key the predicate accepts, for a predicate
// that holds from some entry on (entries are sorted by key): a binary search.
template <class Pred>
std::expected<size_t, ApfsError> first_where(const DecodedNode& n, const Pred& pred) {
  size_t low = 0;
  size_t high = n.size();
  while (low < high) {
    size_t mid = low + (high - low) / 2;
    auto key = entry_key(n, mid, {});
    if (!key) return std::unexpected(key.error());
    if (pred(*key))
      high = mid;
    else
      low = mid + 1;
  }
  return low;
}

// Exact search: in an index node the child of the last entry not greater
// than the key; in a leaf the first equal entry.
std::expected<std::optional<std::vector<uint8_t>>, ApfsError> exact_search(const Container& reader,
                                                                           const KeyOrder& order) {
  auto current = reader.node(reader.root_tree());
  if (!current) return std::unexpected(current.error());
  for (unsigned level = 0; level <= kMaxTreeDepth; ++level) {
    const DecodedNode& n = **current;
    if (n.is_leaf()) {
      auto at = first_where(n, [&](std::span<const uint8_t> key) { return order(key) >= 0; });
      if (!at) return std::unexpected(at.error());
      if (*at == n.size()) return std::nullopt;
      auto key = entry_key(n, *at, {});
      if (!key) return std::unexpected(key.error());
      if (order(*key) != 0) return std::nullopt;
      auto value = entry_value(n, *at, {});
      if (!value) return std::unexpected(value.error());
      return std::vector<uint8_t>(value->begin(), value->end());
    }
    auto above = first_where(n, [&](std::span<const uint8_t> key) { return order(key) > 0; });
    if (!above) return std::unexpected(above.error());
    if (*above == 0) return std::nullopt;
    auto child = child_oid(n, *above - 1, {});
    if (!child) return std::unexpected(child.error());
    auto paddr = reader.translate(*child);
    if (!paddr) return std::unexpected(paddr.error());
    current = reader.node(*paddr);
    if (!current) return std::unexpected(current.error());
  }
  return too_deep();
}

}  // namespace

std::expected<std::optional<std::vector<uint8_t>>, ApfsError> Container::find_first(uint64_t oid, uint8_t type) const {
  return exact_search(*this, [&](std::span<const uint8_t> key) { return compare_fs_key(key, oid, type); });
}

std::expected<std::optional<std::vector<uint8_t>>, ApfsError> Container::find_xattr(uint64_t oid,
                                                                                    std::string_view name) const {
  return exact_search(*this, [&](std::span<const uint8_t> key) { return compare_xattr_key(key, oid, name); });
}

// Depth first over the records keyed (oid, type). An index node is entered at
// the child of its last entry below the key (the matching records can only
// begin there) rather than at its first, so a lookup costs the depth of the
// tree plus its matches, not everything that precedes them; children past
// the first entry above the key cannot hold a match and are not read.
std::expected<void, ApfsError> Container::scan(uint64_t oid, uint8_t type, const RecordVisitor& visit) const {
  std::unordered_set<uint64_t> seen;
  std::function<std::expected<bool, ApfsError>(const DecodedNode&, unsigned)> walk =
      [&](const DecodedNode& n, unsigned depth) -> std::expected<bool, ApfsError> {
    if (depth > kMaxTreeDepth) return too_deep();
    if (n.is_leaf()) {
      auto start = first_where(n, [&](std::span<const uint8_t> key) { return compare_fs_key(key, oid, type) >= 0; });
      if (!start) return std::unexpected(start.error());
      for (size_t i = *start; i < n.size(); ++i) {
        auto key = entry_key(n, i, {});
        if (!key) return std::unexpected(key.error());
        auto c = compare_fs_key(*key, oid, type);
        if (c < 0) continue;
        if (c > 0) return false;
        auto value = entry_value(n, i, {});
        if (!value) return std::unexpected(value.error());
        auto go_on = visit(*key, *value);
        if (!go_on) return std::unexpected(go_on.error());
        if (!*go_on) return false;
      }
      return true;
    }
    auto not_below = first_where(n, [&](std::span<const uint8_t> key) { return compare_fs_key(key, oid, type) >= 0; });
    if (!not_below) return std::unexpected(not_below.error());
    size_t first = *not_below == 0 ? 0 : *not_below - 1;
    for (size_t i = first; i < n.size(); ++i) {
      if (i > first) {
        auto key = entry_key(n, i, {});
        if (!key) return std::unexpected(key.error());
        if (compare_fs_key(*key, oid, type) > 0) return false;
      }
      auto child = child_oid(n, i, {});
      if (!child) return std::unexpected(child.error());
      auto paddr = translate(*child);
      if (!paddr) return std::unexpected(paddr.error());
      if (!seen.insert(*paddr).second)
        return std::unexpected(ApfsError::invalid_btree(fmt::format("node {} is reached twice", *paddr)));
      auto next = node(*paddr);
      if (!next) return std::unexpected(next.error());
      auto go_on = walk(**next, depth + 1);
      if (!go_on || !*go_on) return go_on;
    }
    return true;
  };
  auto root = node(root_tree_);
  if (!root) return std::unexpected(root.error());
  auto done = walk(**root, 0);
  if (!done) return std::unexpected(done.error());
  return {};
}

}  // namespace tev::apfs
