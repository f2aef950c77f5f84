#pragma once

#include <atomic>
#include <cstddef>
#include <expected>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace tev {

// The process-wide pool of worker threads, one per logical processor, started
// the first time it is used. The calling thread waits while the workers run a
// batch; a task that itself runs a batch works on it too, so nesting cannot
// leave a caller waiting on work nobody picks up.
class WorkerPool {
 public:
  static WorkerPool& instance();

  size_t worker_count() const;

  // Runs task(i) for every i in [0, count) and returns when all have finished.
  // An exception thrown by a task (allocation failure) is rethrown here.
  void run(size_t count, const std::function<void(size_t)>& task);

  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

 private:
  struct Impl;
  WorkerPool();
  // fork() handlers: the parent waits until every worker is idle, the child
  // drops the pool it inherited and starts its own when first asked.
  static void before_fork();
  static void after_fork_in_parent();
  static void after_fork_in_child();
  ~WorkerPool();
  std::unique_ptr<Impl> impl_;
};

// Maps task(i) -> std::expected<T, E> over [0, count) on the pool. Each task
// writes only its own slot; results come back in index order, and the failure
// with the lowest index is the one reported. Tasks after a known failure are
// skipped, since their results could no longer be reported.
template <class T, class E, class F>
std::expected<std::vector<T>, E> parallel_map(size_t count, F&& task) {
  std::vector<std::optional<std::expected<T, E>>> slots(count);
  std::atomic<size_t> first_failure{count};
  WorkerPool::instance().run(count, [&](size_t i) {
    if (i > first_failure.load(std::memory_order_relaxed)) return;
    slots[i].emplace(task(i));
    if (!slots[i]->has_value()) {
      size_t seen = first_failure.load(std::memory_order_relaxed);
      while (i < seen && !first_failure.compare_exchange_weak(seen, i)) {
      }
    }
  });
  std::vector<T> out;
  out.reserve(count);
  for (auto& slot : slots) {
    if (!slot->has_value()) return std::unexpected(std::move(slot->error()));
    out.push_back(std::move(**slot));
  }
  return out;
}

}  // namespace tev
