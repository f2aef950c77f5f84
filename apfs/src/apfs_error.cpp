#include "tev/apfs/apfs_error.h"

#include <fmt/format.h>

namespace tev::apfs {

ApfsError::ApfsError(IoError error) : kind_(Kind::Io), text_(error.message()) {}

ApfsError ApfsError::invalid_magic(uint32_t magic) { return ApfsError(Kind::InvalidMagic, fmt::format("{:08X}", magic)); }

ApfsError ApfsError::too_short(const char* what, size_t n) {
  return corrupted(fmt::format("{} too short: {} bytes", what, n));
}

std::string ApfsError::message() const {
  switch (kind_) {
    case Kind::Io: return "I/O error: " + text_;
    case Kind::InvalidMagic: return "invalid magic: 0x" + text_;
    case Kind::InvalidChecksum: return "invalid checksum";
    case Kind::InvalidBTree: return "invalid B-tree: " + text_;
    case Kind::FileNotFound: return "file not found: " + text_;
    case Kind::NotADirectory: return "not a directory: " + text_;
    case Kind::CorruptedData: return "corrupted data: " + text_;
    case Kind::Unsupported: return "unsupported: " + text_;
    case Kind::NoVolumeFound: return "no volume found in container";
  }
  return text_;
}

}  // namespace tev::apfs
