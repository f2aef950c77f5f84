#include "tev/common/memory.h"

#include <sys/mman.h>
#include <unistd.h>

namespace tev {

void advise_huge_pages(std::span<uint8_t> buffer) {
  constexpr uintptr_t kHugePage = uintptr_t{2} << 20;
  auto begin = reinterpret_cast<uintptr_t>(buffer.data());
  uintptr_t first = (begin + kHugePage - 1) & ~(kHugePage - 1);
  uintptr_t last = (begin + buffer.size()) & ~(kHugePage - 1);
  if (last > first) ::madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
}

namespace {

uint64_t query_physical_memory() {
  long pages = ::sysconf(_SC_PHYS_PAGES);
  long page_size = ::sysconf(_SC_PAGESIZE);
  if (pages <= 0 || page_size <= 0) return uint64_t{1} << 32;
  return static_cast<uint64_t>(pages) * static_cast<uint64_t>(page_size);
}

}  // namespace

// Asked once: the answer does not change while the process runs, and the
// question costs a system call.
uint64_t physical_memory() {
  static const uint64_t kBytes = query_physical_memory();
  return kBytes;
}

}  // namespace tev
