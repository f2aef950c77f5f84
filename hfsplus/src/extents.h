#pragma once

#include <array>
#include <cstdint>
#include <expected>
#include <optional>
#include <vector>

#include "tev/common/byte_sink.h"
#include "tev/common/file_pieces.h"
#include "tev/hfsplus/hfs_error.h"

#include "btree.h"
#include "volume_header.h"

namespace tev::hfsplus {

class Volume;

inline constexpr uint8_t kDataFork = 0x00;
inline constexpr uint8_t kResourceFork = 0xFF;

// The extents of the data-fork record keyed exactly (file_id, data fork,
// start_block) in the extents overflow file, or nothing.
std::expected<std::optional<std::array<ExtentDescriptor, 8>>, HfsError> find_overflow_extents(
    const BTree& extents_tree, uint32_t file_id, uint32_t start_block);

// Where a fork's bytes lie, in order, for at most its logical size: the inline
// extents, then the overflow records that follow them. Contiguous blocks are
// merged into one piece. The pieces cover less than the logical size when the
// extent chain ends early.
std::expected<std::vector<FilePiece>, HfsError> plan_fork(const Volume& reader, const ForkData& fork,
                                                          uint32_t file_id);

}  // namespace tev::hfsplus
