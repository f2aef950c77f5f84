#include "tev/hfsplus/hfs_error.h"

#include <fmt/format.h>

namespace tev::hfsplus {

HfsError::HfsError(IoError error) : kind_(Kind::Io), text_(error.message()) {}

HfsError HfsError::invalid_signature(uint16_t signature) {
  return HfsError(Kind::InvalidSignature, fmt::format("{:04X}", signature));
}

HfsError HfsError::unsupported_version(uint16_t version) {
  return HfsError(Kind::UnsupportedVersion, std::to_string(version));
}

std::string HfsError::message() const {
  switch (kind_) {
    case Kind::Io: return "I/O error: " + text_;
    case Kind::InvalidSignature: return "invalid HFS+ signature: 0x" + text_ + " (expected 0x482B or 0x4858)";
    case Kind::InvalidBTree: return "invalid B-tree: " + text_;
    case Kind::FileNotFound: return "file not found: " + text_;
    case Kind::NotADirectory: return "not a directory: " + text_;
    case Kind::CorruptedData: return "corrupted data: " + text_;
    case Kind::UnsupportedVersion: return "unsupported version: " + text_;
    case Kind::IsADirectory: return "is a directory: " + text_;
  }
  return text_;
}

}  // namespace tev::hfsplus
