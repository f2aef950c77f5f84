#pragma once

#include <cstdint>
#include <string>

#include "tev/common/io_error.h"

namespace tev::udif {

// The error of the whole DMG subsystem. Kinds are numbered in this order.
class DmgError {
 public:
  enum class Kind {
    InvalidMagic,
    Io,
    InvalidPlist,
    InvalidBlockMap,
    Decompression,
    Compression,
    UnsupportedCompression,
    FileNotFound,
    Unsupported,
    ChecksumMismatch,
  };

  static DmgError invalid_magic() { return DmgError(Kind::InvalidMagic); }
  static DmgError io(IoError error);
  static DmgError invalid_plist(std::string text) { return DmgError(Kind::InvalidPlist, std::move(text)); }
  static DmgError invalid_block_map(std::string text) { return DmgError(Kind::InvalidBlockMap, std::move(text)); }
  static DmgError decompression(std::string text) { return DmgError(Kind::Decompression, std::move(text)); }
  static DmgError compression(std::string text) { return DmgError(Kind::Compression, std::move(text)); }
  static DmgError unsupported_compression(uint32_t type);
  static DmgError file_not_found(std::string text) { return DmgError(Kind::FileNotFound, std::move(text)); }
  static DmgError unsupported(std::string text) { return DmgError(Kind::Unsupported, std::move(text)); }
  static DmgError checksum_mismatch(uint32_t expected, uint32_t actual);

  DmgError(IoError error);  // NOLINT(google-explicit-constructor): short reads convert as they are

  Kind kind() const { return kind_; }
  std::string message() const;

 private:
  explicit DmgError(Kind kind, std::string text = {}) : kind_(kind), text_(std::move(text)) {}

  Kind kind_;
  std::string text_;  // the whole detail, already formatted
};

}  // namespace tev::udif
