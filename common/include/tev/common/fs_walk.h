#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "tev/common/fs_values.h"

namespace tev::fs {

// The depth-first, pre-order walk every file system gives: each directory's
// entries in the order `list(id)` returns them, a directory before what lies
// below it. Entries carry name, kind, size and the id the directory is
// listed by (`id_of`). A directory met twice means the file system's
// directory links form a cycle; `cycle(id)` makes that error.
template <class Entry, class Error, class List, class IdOf, class Cycle>
std::expected<std::vector<WalkEntry>, Error> walk_tree(uint64_t root_id, List&& list, IdOf&& id_of, Cycle&& cycle) {
  struct Level {
    std::string path;  // the directory's own path, "" for the root
    std::vector<Entry> entries;
    size_t next = 0;
  };
  std::vector<WalkEntry> out;
  std::unordered_set<uint64_t> entered{root_id};
  auto root = list(root_id);
  if (!root) return std::unexpected(root.error());
  std::vector<Level> stack;
  stack.push_back({"", std::move(*root)});
  while (!stack.empty()) {
    Level& level = stack.back();
    if (level.next == level.entries.size()) {
      stack.pop_back();
      continue;
    }
    Entry& e = level.entries[level.next++];
    std::string path = level.path + "/" + e.name;
    uint64_t id = id_of(e);
    EntryKind kind = e.kind;
    out.push_back({path, std::move(e.name), e.kind, e.size});
    if (kind != EntryKind::Directory) continue;
    if (!entered.insert(id).second) return std::unexpected(cycle(id));
    auto children = list(id);
    if (!children) return std::unexpected(children.error());
    stack.push_back({std::move(path), std::move(*children)});
  }
  return out;
}

}  // namespace tev::fs
