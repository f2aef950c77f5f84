#pragma once

#include <array>
#include <cstdint>
#include <expected>
#include <optional>
#include <vector>

#include "tev/common/byte_sink.h"
#include "tev/hfsplus/btree.h"
#include "tev/hfsplus/hfs_error.h"
#include "tev/hfsplus/volume_header.h"

namespace tev::hfsplus {

class HfsReader;

inline constexpr uint8_t kDataFork = 0x00;
inline constexpr uint8_t kResourceFork = 0xFF;

// The extents of the data-fork record keyed exactly (file_id, data fork,
// start_block) in the extents overflow file, or nothing.
std::expected<std::optional<std::array<ExtentDescriptor, 8>>, HfsError> find_overflow_extents(
    const BTree& extents_tree, uint32_t file_id, uint32_t start_block);

// A stretch of a fork that lies contiguously on the partition.
struct ForkRun {
  uint64_t offset = 0;  // on the partition
  uint64_t length = 0;
};

// Where a fork's bytes lie, in order, for at most its logical size: the inline
// extents, then the overflow records that follow them. Contiguous blocks are
// merged into one run. The runs cover less than the logical size when the
// extent chain ends early.
std::expected<std::vector<ForkRun>, HfsError> plan_fork(const HfsReader& reader, const ForkData& fork,
                                                        uint32_t file_id);

// Copies the runs' bytes to a sink; returns how many were produced.
std::expected<uint64_t, HfsError> read_runs(const ByteSource& source, const std::vector<ForkRun>& runs,
                                            ByteSink& sink);
// Fills out, whose size is the runs' total length.
std::expected<void, HfsError> read_runs_into(const ByteSource& source, const std::vector<ForkRun>& runs,
                                             std::span<uint8_t> out);

// A fork's bytes into a sink; returns how many were produced.
std::expected<uint64_t, HfsError> read_fork(const HfsReader& reader, const ForkData& fork, uint32_t file_id,
                                            ByteSink& sink);

}  // namespace tev::hfsplus
