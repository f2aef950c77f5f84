#include "tev/common/worker_pool.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>

#include <pthread.h>

namespace tev {
namespace {

struct Batch {
  const std::function<void(size_t)>* task;
  size_t count;
  std::atomic<size_t> next{0};
  std::mutex lock;
  std::condition_variable all_done;
  size_t finished = 0;
  std::exception_ptr failure;

  // Claims and runs tasks until none are left.
  void work() {
    for (;;) {
      size_t i = next.fetch_add(1, std::memory_order_relaxed);
      if (i >= count) return;
      std::exception_ptr thrown;
      try {
        (*task)(i);
      } catch (...) {
        thrown = std::current_exception();
      }
      std::lock_guard guard(lock);
      if (thrown && !failure) failure = thrown;
      if (++finished == count) all_done.notify_all();
    }
  }
};

}  // namespace

// Set in the pool's own threads: a task that runs a batch itself helps with
// it instead of waiting on workers that may all be busy with its caller.
thread_local bool t_in_pool = false;

struct WorkerPool::Impl {
  std::mutex lock;
  std::condition_variable wake;
  std::condition_variable parked;  // a worker went back to waiting
  std::deque<std::shared_ptr<Batch>> queue;
  std::vector<std::thread> threads;
  size_t waiting = 0;  // workers waiting for work

  void worker_loop() {
    t_in_pool = true;
    for (;;) {
      std::shared_ptr<Batch> batch;
      {
        std::unique_lock guard(lock);
        ++waiting;
        parked.notify_all();
        wake.wait(guard, [&] { return !queue.empty(); });
        --waiting;
        batch = std::move(queue.front());
        queue.pop_front();
      }
      batch->work();
    }
  }

  // Takes the lock once every worker waits for work with nothing queued: no
  // worker runs then, so none can hold a lock of the allocator or the C
  // library when the process forks. The lock is held across the fork.
  void park_for_fork() {
    std::unique_lock guard(lock);
    parked.wait(guard, [&] { return waiting == threads.size() && queue.empty(); });
    guard.release();
  }
};

namespace {

// The pool of this process. A child made by fork() has none of its parent's
// worker threads, only their queue and locks as they were at the fork, so it
// drops the inherited pool (leaked: nothing of it may be touched) and starts
// its own on first use.
std::mutex g_pool_lock;
WorkerPool* g_pool = nullptr;

// Whether before_fork parked the pool (it does not when a task itself forks:
// its own worker could never be waiting).
bool g_parked = false;

}  // namespace

void WorkerPool::before_fork() {
  // The pool is parked before its lock is taken: a task that asks for the
  // pool (a nested batch) must be able to finish first.
  WorkerPool* pool = nullptr;
  {
    std::lock_guard guard(g_pool_lock);
    pool = g_pool;
  }
  g_parked = pool != nullptr && !t_in_pool;
  if (g_parked) pool->impl_->park_for_fork();
  g_pool_lock.lock();
}

void WorkerPool::after_fork_in_parent() {
  if (g_parked) g_pool->impl_->lock.unlock();
  g_pool_lock.unlock();
}

void WorkerPool::after_fork_in_child() {
  g_pool = nullptr;
  g_pool_lock.unlock();
}

WorkerPool& WorkerPool::instance() {
  std::lock_guard guard(g_pool_lock);
  if (g_pool == nullptr) {
    static const bool registered = [] {
      pthread_atfork(&before_fork, &after_fork_in_parent, &after_fork_in_child);
      return true;
    }();
    (void)registered;
    // Never destroyed: the detached workers wait for work until the process ends.
    g_pool = new WorkerPool();
  }
  return *g_pool;
}

WorkerPool::WorkerPool() : impl_(std::make_unique<Impl>()) {
  size_t n = std::max(1u, std::thread::hardware_concurrency());
  for (size_t i = 0; i < n; ++i) {
    impl_->threads.emplace_back([impl = impl_.get()] { impl->worker_loop(); });
    impl_->threads.back().detach();
  }
}

WorkerPool::~WorkerPool() = default;

size_t WorkerPool::worker_count() const { return impl_->threads.size(); }

void WorkerPool::run(size_t count, const std::function<void(size_t)>& task) {
  if (count == 0) return;
  auto batch = std::make_shared<Batch>();
  batch->task = &task;
  batch->count = count;
  // An outside caller only waits, so that the work runs on exactly one
  // thread per processor; a worker calling in works on the batch as well.
  size_t helpers = std::min(t_in_pool ? count - 1 : count, impl_->threads.size());
  if (helpers > 0) {
    std::lock_guard guard(impl_->lock);
    for (size_t i = 0; i < helpers; ++i) impl_->queue.push_back(batch);
  }
  impl_->wake.notify_all();
  if (t_in_pool) batch->work();
  std::unique_lock guard(batch->lock);
  batch->all_done.wait(guard, [&] { return batch->finished == count; });
  if (batch->failure) std::rethrow_exception(batch->failure);
}

}  // namespace tev
