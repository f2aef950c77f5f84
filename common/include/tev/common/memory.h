#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>

#include "tev/common/io_error.h"

namespace tev {

// Asks the kernel to back a large buffer that is about to be written with
// huge pages, so that filling it takes a fault per 2 MiB instead of per
// 4 KiB. Only a hint: nothing changes where it is not supported.
void advise_huge_pages(std::span<uint8_t> buffer);

// Memory that reads as zeros until it is written, from an anonymous mapping:
// the pages nobody writes are never made, so a partition that is mostly zero
// fill costs only what its data runs hold.
class ZeroedMemory {
 public:
  static std::expected<ZeroedMemory, IoError> allocate(size_t size);
  ZeroedMemory() = default;
  ZeroedMemory(ZeroedMemory&& other) noexcept;
  ZeroedMemory& operator=(ZeroedMemory&& other) noexcept;
  ~ZeroedMemory();

  std::span<uint8_t> bytes() { return {data_, size_}; }
  std::span<const uint8_t> bytes() const { return {data_, size_}; }

 private:
  ZeroedMemory(uint8_t* data, size_t size) : data_(data), size_(size) {}
  uint8_t* data_ = nullptr;
  size_t size_ = 0;
};

}  // namespace tev
