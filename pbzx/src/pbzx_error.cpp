#include "tev/pbzx/pbzx_error.h"

#include <fmt/format.h>

namespace tev::pbzx {

PbzxError PbzxError::invalid_magic(std::array<uint8_t, 4> b) {
  return PbzxError(Kind::InvalidMagic, fmt::format("[{}, {}, {}, {}]", b[0], b[1], b[2], b[3]));
}

PbzxError PbzxError::invalid_chunk(uint64_t offset, std::string text) {
  return PbzxError(Kind::InvalidChunk, fmt::format("{}: {}", offset, text));
}

PbzxError::PbzxError(IoError error) : kind_(Kind::Io), text_(error.message()) {}

std::string PbzxError::message() const {
  switch (kind_) {
    case Kind::InvalidMagic: return "Invalid PBZX magic: expected 'pbzx', got " + text_;
    case Kind::Io: return "I/O error: " + text_;
    case Kind::Decompression: return "Decompression error: " + text_;
    case Kind::InvalidChunk: return "Invalid chunk at offset " + text_;
    case Kind::InvalidCpio: return "Invalid CPIO archive: " + text_;
    case Kind::FileNotFound: return "File not found: " + text_;
    case Kind::InvalidPath: return "Invalid path: " + text_;
    case Kind::Compression: return "Compression error: " + text_;
  }
  return text_;
}

}  // namespace tev::pbzx
