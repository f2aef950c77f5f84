#pragma once

#include <cstdint>
#include <string>

#include "tev/common/io_error.h"

namespace tev::xar {

// The error of the whole XAR and installer-package reader. Kinds are
// numbered in this order.
class XarError {
 public:
  enum class Kind {
    Io,
    InvalidMagic,
    InvalidToc,
    XmlParse,
    FileNotFound,
    UnsupportedEncoding,
    DecompressionFailed,
    InvalidPath,
    ChecksumMismatch,
  };

  static XarError invalid_magic(uint32_t magic);
  static XarError invalid_toc(std::string text) { return XarError(Kind::InvalidToc, std::move(text)); }
  static XarError xml_parse(std::string text) { return XarError(Kind::XmlParse, std::move(text)); }
  static XarError file_not_found(std::string text) { return XarError(Kind::FileNotFound, std::move(text)); }
  static XarError unsupported_encoding(std::string text) {
    return XarError(Kind::UnsupportedEncoding, std::move(text));
  }
  static XarError decompression_failed(std::string text) {
    return XarError(Kind::DecompressionFailed, std::move(text));
  }
  static XarError invalid_path(std::string text) { return XarError(Kind::InvalidPath, std::move(text)); }
  // `what` names the digest and what it covers: "sha1 archived-checksum of \"Payload\"".
  static XarError checksum_mismatch(std::string what) {
    return XarError(Kind::ChecksumMismatch, std::move(what));
  }

  XarError(IoError error);  // NOLINT(google-explicit-constructor): short reads convert as they are

  Kind kind() const { return kind_; }
  std::string message() const;

 private:
  XarError(Kind kind, std::string text) : kind_(kind), text_(std::move(text)) {}

  Kind kind_;
  std::string text_;  // the whole detail, already formatted
};

}  // namespace tev::xar
