#pragma once

#include <cstdint>
#include <string>

#include "tev/common/io_error.h"

namespace tev::hfsplus {

// The error of the whole HFS+ reader. Kinds are numbered in this order.
class HfsError {
 public:
  enum class Kind {
    Io,
    InvalidSignature,
    InvalidBTree,
    FileNotFound,
    NotADirectory,
    CorruptedData,
    UnsupportedVersion,
    IsADirectory,
  };

  HfsError(IoError error);  // NOLINT(google-explicit-constructor): I/O errors convert as they are
  static HfsError invalid_signature(uint16_t signature);
  static HfsError invalid_btree(std::string text) { return HfsError(Kind::InvalidBTree, std::move(text)); }
  static HfsError file_not_found(std::string text) { return HfsError(Kind::FileNotFound, std::move(text)); }
  static HfsError not_a_directory(std::string text) { return HfsError(Kind::NotADirectory, std::move(text)); }
  // A directory where file contents were asked for.
  static HfsError is_a_directory(std::string text) { return HfsError(Kind::IsADirectory, std::move(text)); }
  static HfsError corrupted(std::string text) { return HfsError(Kind::CorruptedData, std::move(text)); }
  static HfsError unsupported_version(uint16_t version);

  Kind kind() const { return kind_; }
  std::string message() const;

 private:
  HfsError(Kind kind, std::string text) : kind_(kind), text_(std::move(text)) {}
  Kind kind_;
  std::string text_;  // the detail after the kind's fixed words
};

}  // namespace tev::hfsplus
