#pragma once

#include <chrono>
#include <cstdint>
#include <expected>
#include <functional>

#include "tev/common/byte_sink.h"
#include "tev/common/io_error.h"

namespace tev {

// Told how far a long operation has got (done of total bytes); returning
// false stops the operation, which then fails with `cancelled()`.
using ProgressFn = std::function<bool(uint64_t done, uint64_t total)>;

// The error of an operation its progress callback stopped.
IoError cancelled();

// Counts bytes and calls the callback on the calling thread, at most every
// 100 ms, and once more at the end.
class ProgressMeter {
 public:
  static constexpr std::chrono::milliseconds kInterval{100};

  ProgressMeter(const ProgressFn* fn, uint64_t total) : fn_(fn), total_(total) {}

  // False once the callback has asked to stop.
  bool advance(uint64_t n);
  bool finish();

 private:
  bool report();

  const ProgressFn* fn_;
  uint64_t total_;
  uint64_t done_ = 0;
  std::chrono::steady_clock::time_point last_{};
};

// Passes writes on to another sink and counts them on a meter.
class MeteredSink final : public ByteSink {
 public:
  MeteredSink(ByteSink& inner, ProgressMeter& meter) : inner_(&inner), meter_(&meter) {}
  std::expected<void, IoError> write(std::span<const uint8_t> bytes) override;
  std::expected<void, IoError> write_zeros(uint64_t count) override;

 private:
  ByteSink* inner_;
  ProgressMeter* meter_;
};

}  // namespace tev
