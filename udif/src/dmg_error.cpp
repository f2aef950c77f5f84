#include "tev/udif/dmg_error.h"

#include <fmt/format.h>

namespace tev::udif {

DmgError DmgError::io(IoError error) { return DmgError(Kind::Io, error.message()); }

DmgError::DmgError(IoError error) : kind_(Kind::Io), text_(error.message()) {}

DmgError DmgError::unsupported_compression(uint32_t type) {
  return DmgError(Kind::UnsupportedCompression, fmt::format("{:#x}", type));
}

DmgError DmgError::checksum_mismatch(uint32_t expected, uint32_t actual) {
  return DmgError(Kind::ChecksumMismatch, fmt::format("expected {:#x}, got {:#x}", expected, actual));
}

std::string DmgError::message() const {
  switch (kind_) {
    case Kind::InvalidMagic: return "invalid DMG magic: expected 'koly' trailer";
    case Kind::Io: return "I/O error: " + text_;
    case Kind::InvalidPlist: return "invalid plist: " + text_;
    case Kind::InvalidBlockMap: return "invalid block map: " + text_;
    case Kind::Decompression: return "decompression error: " + text_;
    case Kind::Compression: return "compression error: " + text_;
    case Kind::UnsupportedCompression: return "unsupported compression type: " + text_;
    case Kind::FileNotFound: return "file not found: " + text_;
    case Kind::Unsupported: return "unsupported: " + text_;
    case Kind::ChecksumMismatch: return "checksum mismatch: " + text_;
  }
  return text_;
}

}  // namespace tev::udif
