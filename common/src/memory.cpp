#include "tev/common/memory.h"

#include <sys/mman.h>

#include <cerrno>
#include <utility>

namespace tev {

void advise_huge_pages(std::span<uint8_t> buffer) {
  constexpr uintptr_t kHugePage = uintptr_t{2} << 20;
  auto begin = reinterpret_cast<uintptr_t>(buffer.data());
  uintptr_t first = (begin + kHugePage - 1) & ~(kHugePage - 1);
  uintptr_t last = (begin + buffer.size()) & ~(kHugePage - 1);
  if (last > first) ::madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
}

std::expected<ZeroedMemory, IoError> ZeroedMemory::allocate(size_t size) {
  if (size == 0) return ZeroedMemory();
  void* p = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (p == MAP_FAILED) return std::unexpected(IoError::from_errno(errno));
  return ZeroedMemory(static_cast<uint8_t*>(p), size);
}

ZeroedMemory::ZeroedMemory(ZeroedMemory&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)) {}

ZeroedMemory& ZeroedMemory::operator=(ZeroedMemory&& other) noexcept {
  if (this != &other) {
    if (data_ != nullptr) ::munmap(data_, size_);
    data_ = std::exchange(other.data_, nullptr);
    size_ = std::exchange(other.size_, 0);
  }
  return *this;
}

ZeroedMemory::~ZeroedMemory() {
  if (data_ != nullptr) ::munmap(data_, size_);
}

}  // namespace tev
