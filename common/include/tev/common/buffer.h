#pragma once

#include <cstdint>
#include <memory>
#include <vector>

namespace tev {

// An allocator whose resize leaves new bytes uninitialised: for large outputs
// that are about to be overwritten whole, zeroing them first costs a pass
// over memory and faults every page in on one thread.
template <class T>
struct UninitializedAllocator : std::allocator<T> {
  template <class U>
  struct rebind {
    using other = UninitializedAllocator<U>;
  };
  UninitializedAllocator() = default;
  template <class U>
  UninitializedAllocator(const UninitializedAllocator<U>&) noexcept {}
  template <class U>
  void construct(U* p) noexcept {
    ::new (static_cast<void*>(p)) U;
  }
  template <class U, class... Args>
  void construct(U* p, Args&&... args) {
    ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
  }
};

// A byte buffer whose resize does not zero what it adds.
using Buffer = std::vector<uint8_t, UninitializedAllocator<uint8_t>>;

}  // namespace tev
