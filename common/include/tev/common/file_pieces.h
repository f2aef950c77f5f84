#pragma once

#include <cstdint>
#include <expected>
#include <span>
#include <vector>

#include "tev/common/byte_sink.h"
#include "tev/common/byte_source.h"
#include "tev/common/io_error.h"

namespace tev {

// A stretch of a file's contents as a file system lays it out: bytes at an
// offset of the volume, or zeros (a hole).
struct FilePiece {
  uint64_t offset = 0;  // on the volume; meaningless for a hole
  uint64_t length = 0;
  bool hole = false;
};

// The most a file may map, the same on every host: what a damaged extent
// table can claim through overlapping or repeated extents is refused before
// anything is reserved for it.
inline constexpr uint64_t kMaxFileSize = uint64_t{1} << 40;

// Appends a piece, lengthening the last one when the two are contiguous.
void add_piece(std::vector<FilePiece>& pieces, FilePiece piece);

// The pieces' total length (saturating: a total past 64 bits is past any cap).
uint64_t pieces_length(const std::vector<FilePiece>& pieces);

// Fills out, which must be exactly the pieces' total length. File contents
// are read past the source's buffer, which is kept for metadata.
std::expected<void, IoError> read_pieces(const ByteSource& source, const std::vector<FilePiece>& pieces,
                                         std::span<uint8_t> out);
// The same into a sink, in pieces of at most 1 MiB; returns the bytes written.
std::expected<uint64_t, IoError> read_pieces(const ByteSource& source, const std::vector<FilePiece>& pieces,
                                             ByteSink& sink);

}  // namespace tev
