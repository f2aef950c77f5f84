#include "tev/common/worker_pool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>

#include <sys/wait.h>
#include <unistd.h>

namespace tev {
namespace {

TEST(WorkerPool, HasOneWorkerPerLogicalProcessor) {
  EXPECT_EQ(WorkerPool::instance().worker_count(),
            std::max(1u, std::thread::hardware_concurrency()));
  EXPECT_EQ(&WorkerPool::instance(), &WorkerPool::instance());
}

TEST(ParallelMap, ReturnsResultsInSlotOrder) {
  auto result = parallel_map<size_t, std::string>(1000, [](size_t i) -> std::expected<size_t, std::string> {
    // Uneven work, so tasks finish out of order.
    if (i % 97 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return i * i;
  });
  ASSERT_TRUE(result);
  ASSERT_EQ(result->size(), 1000u);
  for (size_t i = 0; i < 1000; ++i) EXPECT_EQ((*result)[i], i * i);
  auto empty = parallel_map<int, std::string>(0, [](size_t) -> std::expected<int, std::string> { return 1; });
  ASSERT_TRUE(empty);
  EXPECT_TRUE(empty->empty());
}

TEST(ParallelMap, ReportsTheFirstFailureInOrderNotInTime) {
  for (int round = 0; round < 20; ++round) {
    auto result = parallel_map<int, std::string>(64, [](size_t i) -> std::expected<int, std::string> {
      // The later failure happens first in time.
      if (i == 40) return std::unexpected("task 40");
      if (i == 10) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        return std::unexpected("task 10");
      }
      return static_cast<int>(i);
    });
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error(), "task 10");
  }
}

TEST(ParallelMap, RunsEveryTaskBeforeTheFirstFailure) {
  std::atomic<int> ran{0};
  auto result = parallel_map<int, int>(200, [&](size_t i) -> std::expected<int, int> {
    if (i < 150) ran.fetch_add(1);
    if (i == 150) return std::unexpected(150);
    return 0;
  });
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error(), 150);
  EXPECT_EQ(ran.load(), 150);
}

TEST(WorkerPool, UsesMoreThanOneThreadAndSurvivesNesting) {
  std::mutex lock;
  std::set<std::thread::id> threads;
  WorkerPool::instance().run(64, [&](size_t) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    std::lock_guard guard(lock);
    threads.insert(std::this_thread::get_id());
  });
  if (std::thread::hardware_concurrency() > 1) {
    EXPECT_GT(threads.size(), 1u);
  }
  // A task that itself runs a batch must not deadlock the pool.
  std::atomic<int> inner{0};
  WorkerPool::instance().run(8, [&](size_t) {
    WorkerPool::instance().run(8, [&](size_t) { inner.fetch_add(1); });
  });
  EXPECT_EQ(inner.load(), 64);
}

TEST(WorkerPool, RethrowsATaskException) {
  EXPECT_THROW(WorkerPool::instance().run(16,
                                          [](size_t i) {
                                            if (i == 5) throw std::length_error("too big");
                                          }),
               std::length_error);
}

// A process that used the pool and then forks (Python's multiprocessing does)
// must get a working pool in the child, not one whose workers stayed behind.
TEST(WorkerPool, WorksInAChildForkedAfterUse) {
  WorkerPool::instance().run(16, [](size_t) {});
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    alarm(30);  // a hang ends the child with SIGALRM instead of the test run
    std::mutex lock;
    std::set<std::thread::id> threads;
    std::atomic<int> arrived{0};
    const int workers = static_cast<int>(WorkerPool::instance().worker_count());
    WorkerPool::instance().run(static_cast<size_t>(workers), [&](size_t) {
      // Every task waits for all the others, so they must run on
      // different threads at once.
      arrived.fetch_add(1);
      while (arrived.load() < workers) std::this_thread::yield();
      std::lock_guard guard(lock);
      threads.insert(std::this_thread::get_id());
    });
    _exit(static_cast<int>(threads.size()) == workers ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status)) << "child ended by signal " << WTERMSIG(status);
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
}  // namespace tev
