#include "tev/common/file_pieces.h"

#include <algorithm>
#include <cstring>

#include "tev/common/buffer.h"
#include "tev/common/checked.h"

namespace tev {

void add_piece(std::vector<FilePiece>& pieces, FilePiece piece) {
  if (piece.length == 0) return;
  if (!pieces.empty()) {
    FilePiece& last = pieces.back();
    if (last.hole == piece.hole && (piece.hole || last.offset + last.length == piece.offset)) {
      last.length += piece.length;
      return;
    }
  }
  pieces.push_back(piece);
}

uint64_t pieces_length(const std::vector<FilePiece>& pieces) {
  uint64_t total = 0;
  for (const auto& piece : pieces) total = saturating_add(total, piece.length);
  return total;
}

std::expected<void, IoError> read_pieces(const ByteSource& source, const std::vector<FilePiece>& pieces,
                                         std::span<uint8_t> out) {
  if (pieces_length(pieces) != out.size()) return std::unexpected(IoError::other("output of the wrong size"));
  size_t at = 0;
  for (const auto& piece : pieces) {
    auto part = out.subspan(at, static_cast<size_t>(piece.length));
    if (piece.hole)
      std::memset(part.data(), 0, part.size());
    else if (auto r = source.read_direct_at(piece.offset, part); !r)
      return r;
    at += part.size();
  }
  return {};
}

std::expected<uint64_t, IoError> read_pieces(const ByteSource& source, const std::vector<FilePiece>& pieces,
                                             ByteSink& sink) {
  constexpr uint64_t kStep = 1u << 20;
  uint64_t produced = 0;
  Buffer scratch;
  for (const auto& piece : pieces) {
    for (uint64_t done = 0; done < piece.length;) {
      size_t n = static_cast<size_t>(std::min(kStep, piece.length - done));
      scratch.resize(n);
      if (piece.hole)
        std::memset(scratch.data(), 0, n);
      else if (auto r = source.read_direct_at(piece.offset + done, scratch); !r)
        return std::unexpected(r.error());
      if (auto w = sink.write(scratch); !w) return std::unexpected(w.error());
      done += n;
      produced += n;
    }
  }
  return produced;
}

}  // namespace tev
