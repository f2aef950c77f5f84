#pragma once

#include <cstdint>
#include <string>

#include "tev/common/io_error.h"

namespace tev::apfs {

// The error of the whole APFS reader. Kinds are numbered in this order.
class ApfsError {
 public:
  enum class Kind { Io, InvalidMagic, InvalidChecksum, InvalidBTree, FileNotFound, NotADirectory, CorruptedData,
                    Unsupported, NoVolumeFound };

  ApfsError(IoError error);  // NOLINT(google-explicit-constructor): I/O errors convert as they are
  static ApfsError invalid_magic(uint32_t magic);
  static ApfsError invalid_checksum() { return ApfsError(Kind::InvalidChecksum, {}); }
  static ApfsError invalid_btree(std::string text) { return ApfsError(Kind::InvalidBTree, std::move(text)); }
  static ApfsError file_not_found(std::string text) { return ApfsError(Kind::FileNotFound, std::move(text)); }
  static ApfsError not_a_directory(std::string text) { return ApfsError(Kind::NotADirectory, std::move(text)); }
  static ApfsError corrupted(std::string text) { return ApfsError(Kind::CorruptedData, std::move(text)); }
  static ApfsError unsupported(std::string text) { return ApfsError(Kind::Unsupported, std::move(text)); }
  static ApfsError no_volume_found() { return ApfsError(Kind::NoVolumeFound, {}); }
  // "{what} too short: {n} bytes"
  static ApfsError too_short(const char* what, size_t n);

  Kind kind() const { return kind_; }
  std::string message() const;

 private:
  ApfsError(Kind kind, std::string text) : kind_(kind), text_(std::move(text)) {}
  Kind kind_;
  std::string text_;
};

}  // namespace tev::apfs
