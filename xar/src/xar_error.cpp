#include "tev/xar/xar_error.h"

#include <fmt/format.h>

namespace tev::xar {

XarError XarError::invalid_magic(uint32_t magic) {
  return XarError(Kind::InvalidMagic, fmt::format("{:08X}", magic));
}

XarError::XarError(IoError error) : kind_(Kind::Io), text_(error.message()) {}

std::string XarError::message() const {
  switch (kind_) {
    case Kind::Io: return "I/O error: " + text_;
    case Kind::InvalidMagic: return "invalid XAR magic: 0x" + text_ + " (expected 0x78617221)";
    case Kind::InvalidToc: return "invalid TOC: " + text_;
    case Kind::XmlParse: return "XML parse error: " + text_;
    case Kind::FileNotFound: return "file not found: " + text_;
    case Kind::UnsupportedEncoding: return "unsupported encoding: " + text_;
    case Kind::DecompressionFailed: return "decompression failed: " + text_;
    case Kind::InvalidPath: return "invalid path: " + text_;
    case Kind::ChecksumMismatch: return "checksum mismatch: " + text_;
  }
  return text_;
}

}  // namespace tev::xar
