#pragma once

#include <memory>
#include <mutex>
#include <vector>

namespace tev {

// Objects that the tasks of one parallel call take and give back, so that
// each is made once per worker that needs one instead of once per task (a
// decoder's dictionary, a buffer whose pages are already in), and all of
// them are freed when the call ends: nothing stays behind in the pool's
// threads.
template <class T>
class ObjectPool {
 public:
  class Lease {
   public:
    Lease(ObjectPool& pool, std::unique_ptr<T> object) : pool_(&pool), object_(std::move(object)) {}
    Lease(const Lease&) = delete;
    Lease& operator=(const Lease&) = delete;
    ~Lease() { pool_->give(std::move(object_)); }
    T& operator*() const { return *object_; }
    T* operator->() const { return object_.get(); }

   private:
    ObjectPool* pool_;
    std::unique_ptr<T> object_;
  };

  Lease take() {
    std::lock_guard guard(lock_);
    if (free_.empty()) return Lease(*this, std::make_unique<T>());
    auto object = std::move(free_.back());
    free_.pop_back();
    return Lease(*this, std::move(object));
  }

 private:
  void give(std::unique_ptr<T> object) {
    std::lock_guard guard(lock_);
    free_.push_back(std::move(object));
  }

  std::mutex lock_;
  std::vector<std::unique_ptr<T>> free_;
};

}  // namespace tev
