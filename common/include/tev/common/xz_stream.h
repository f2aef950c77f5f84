#pragma once

#include <cstdint>
#include <expected>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace tev {

// How one .xz stream went when decoded into a buffer of the size its
// container declares.
struct XzOutcome {
  size_t produced = 0;  // bytes written to the output
  bool ended = false;   // the stream's end was reached
  bool more = false;    // the stream holds more than the output took
};

// A liblzma return code in the words of the xz tool ("compressed data is
// corrupt", ...), for every reader of xz and lzma data.
const char* xz_message(int lzma_code);

// One liblzma stream decoder (no memory limit, no concatenated streams),
// kept by its owner from stream to stream: set up again for each stream, it
// reuses its dictionary instead of allocating a new one each time.
class XzDecoder {
 public:
  XzDecoder();
  ~XzDecoder();
  XzDecoder(const XzDecoder&) = delete;
  XzDecoder& operator=(const XzDecoder&) = delete;

  // Decodes `in` into `out` through small input pieces. Decoding stops as
  // soon as `out` is full: with `need_end`, one more byte is asked for to
  // tell a stream that ends there from one that would go on (`more`), and
  // nothing beyond it is decoded. A decoder failure is its message.
  std::expected<XzOutcome, std::string> decode(std::span<const uint8_t> in, std::span<uint8_t> out,
                                               bool need_end);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// One complete .xz stream of `in` (preset `level`, CRC-64 check); a failure
// is the encoder's message.
std::expected<std::vector<uint8_t>, std::string> xz_encode(std::span<const uint8_t> in, uint32_t level);

}  // namespace tev
