#pragma once

#include <cstddef>
#include <memory>
#include <mutex>
#include <optional>
#include <unordered_map>

#include "container.h"

namespace tev::apfs {

// A map that forgets everything once it holds more than its budget: the
// working set of a query is small, and starting over is cheaper than
// keeping a use order.
template <class K, class V>
class BoundedCache {
 public:
  explicit BoundedCache(size_t budget) : budget_(budget) {}

  std::optional<V> find(const K& key) const {
    std::lock_guard guard(lock_);
    auto it = map_.find(key);
    if (it == map_.end()) return std::nullopt;
    return it->second;
  }

  void insert(const K& key, V value, size_t cost) {
    std::lock_guard guard(lock_);
    if (used_ + cost > budget_) {
      map_.clear();
      used_ = 0;
    }
    if (map_.emplace(key, std::move(value)).second) used_ += cost;
  }

 private:
  mutable std::mutex lock_;
  std::unordered_map<K, V> map_;
  size_t budget_;
  size_t used_ = 0;
};

struct Container::Caches {
  BoundedCache<uint64_t, NodeRef> nodes{size_t{64} << 20};
  BoundedCache<uint64_t, uint64_t> translations{size_t{8} << 20};
  BoundedCache<uint64_t, std::shared_ptr<const DirectoryIndex>> directories{size_t{64} << 20};
};

}  // namespace tev::apfs
