#pragma once

#include <cstdint>
#include <span>

namespace tev {

// Asks the kernel to back a large buffer that is about to be written with
// huge pages, so that filling it takes a fault per 2 MiB instead of per
// 4 KiB. Only a hint: nothing changes where it is not supported.
void advise_huge_pages(std::span<uint8_t> buffer);

// The machine's physical memory in bytes: the ceiling for any buffer whose
// size comes from an untrusted file (4 GiB when the system does not say).
uint64_t physical_memory();

}  // namespace tev
