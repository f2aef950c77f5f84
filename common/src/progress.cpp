#include "tev/common/progress.h"

#include <cerrno>

namespace tev {

IoError cancelled() { return IoError::from_errno(ECANCELED); }

bool ProgressMeter::report() {
  last_ = std::chrono::steady_clock::now();
  return (*fn_)(done_, total_);
}

bool ProgressMeter::advance(uint64_t n) {
  done_ += n;
  if (fn_ == nullptr) return true;
  if (std::chrono::steady_clock::now() - last_ < kInterval) return true;
  return report();
}

bool ProgressMeter::finish() { return fn_ == nullptr || report(); }

std::expected<void, IoError> MeteredSink::write(std::span<const uint8_t> bytes) {
  if (auto r = inner_->write(bytes); !r) return r;
  if (!meter_->advance(bytes.size())) return std::unexpected(cancelled());
  return {};
}

std::expected<void, IoError> MeteredSink::write_zeros(uint64_t count) {
  if (auto r = inner_->write_zeros(count); !r) return r;
  if (!meter_->advance(count)) return std::unexpected(cancelled());
  return {};
}

}  // namespace tev
