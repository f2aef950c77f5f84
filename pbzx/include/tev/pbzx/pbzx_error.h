#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "tev/common/io_error.h"

namespace tev::pbzx {

// The error of the PBZX and CPIO subsystem.
class PbzxError {
 public:
  enum class Kind { InvalidMagic, Io, Decompression, InvalidChunk, InvalidCpio, FileNotFound, InvalidPath, Compression };

  static PbzxError invalid_magic(std::array<uint8_t, 4> bytes);
  static PbzxError decompression(std::string text) { return PbzxError(Kind::Decompression, std::move(text)); }
  static PbzxError invalid_chunk(uint64_t offset, std::string text);
  static PbzxError invalid_cpio(std::string text) { return PbzxError(Kind::InvalidCpio, std::move(text)); }
  static PbzxError file_not_found(std::string path) { return PbzxError(Kind::FileNotFound, std::move(path)); }
  static PbzxError invalid_path(std::string text) { return PbzxError(Kind::InvalidPath, std::move(text)); }
  static PbzxError compression(std::string text) { return PbzxError(Kind::Compression, std::move(text)); }
  PbzxError(IoError error);  // NOLINT(google-explicit-constructor): I/O errors convert as they are

  Kind kind() const { return kind_; }
  std::string message() const;

 private:
  PbzxError(Kind kind, std::string text) : kind_(kind), text_(std::move(text)) {}
  Kind kind_;
  std::string text_;  // the detail after the kind's fixed words
};

}  // namespace tev::pbzx
