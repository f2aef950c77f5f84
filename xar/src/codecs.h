#pragma once

#include <cstdint>
#include <expected>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "tev/xar/xar_error.h"

namespace tev::xar {

// One step of a streaming decoder: how much input it took, how much output
// it gave, and whether the stream has reached its end marker.
struct DecodeStep {
  size_t consumed = 0;
  size_t produced = 0;
  bool finished = false;
};

class StreamDecoder {
 public:
  virtual ~StreamDecoder() = default;
  // The error is the codec's own description of the damage.
  virtual std::expected<DecodeStep, std::string> step(std::span<const uint8_t> in, std::span<uint8_t> out) = 0;
};

// The decoder of a heap encoding and the label its messages carry; nullptr
// for stored bytes ("application/octet-stream"); UnsupportedEncoding for a
// name this reader does not know.
struct CodecChoice {
  std::unique_ptr<StreamDecoder> decoder;
  std::string_view label;
};
std::expected<CodecChoice, XarError> codec_for(std::string_view encoding);

// A deflate stream decoded by its own header: gzip when it starts 1f 8b,
// zlib otherwise. Packages label zlib streams "application/x-gzip".
std::unique_ptr<StreamDecoder> make_deflate_decoder();

// The most a deflate stream can expand: 1032 bytes out per byte in, plus
// the few bytes of a header and an empty block.
inline constexpr uint64_t kMaxDeflateRatio = 1032;

}  // namespace tev::xar
