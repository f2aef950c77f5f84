#pragma once

#include <cstdint>

namespace tev {

// What an extraction wrote to the host.
struct ExtractStats {
  uint64_t files = 0;             // regular files written
  uint64_t dirs = 0;              // directories created or found present
  uint64_t symlinks_skipped = 0;  // links (and whatever else the extractor names) not created
  uint64_t bytes = 0;             // bytes of file content written
  uint64_t symlinks = 0;          // links created (when asked for)
};

}  // namespace tev
