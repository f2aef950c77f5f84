#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tev/common/byte_sink.h"
#include "tev/udif/image.h"

namespace tev::udif {

// Caps on what a block table may declare, the same on every host: a
// partition's size, and what one compressed run may decode to or store
// (hdiutil's runs hold a megabyte).
inline constexpr uint64_t kMaxPartitionSize = uint64_t{1} << 42;
inline constexpr uint64_t kMaxChunkSize = uint64_t{1} << 28;

// A partition's runs, checked and laid out: where each run's stored bytes
// are and where its decoded bytes go. plan_partition makes every check
// (stored bytes within the file and not read twice over, runs within the
// partition, ADC refused, the caps above) before anything is decoded.
struct PartitionPlan {
  struct Job {
    uint32_t type;
    uint64_t stored_offset;
    uint64_t stored_length;  // for raw runs, at most `length`
    uint64_t slice;          // where the run's bytes go in the output
    uint64_t length;         // how many
  };
  uint64_t size = 0;
  std::vector<Job> jobs;  // in output order, never overlapping
};

// A raw run that stores more than its range: cut off (what the memory mode
// has always done), or refused before anything is written (streaming).
enum class LongRawRuns { CutOff, Refuse };

std::expected<PartitionPlan, DmgError> plan_partition(const DmgImage& image, int32_t id,
                                                      LongRawRuns long_raw = LongRawRuns::CutOff);

// The one executor of a plan: windows of runs are decoded in parallel and
// delivered in order, either straight into `out` (exactly plan.size bytes,
// which a caller may provide, say a Python bytes object) or into a sink, so
// that memory stays bounded by the window instead of the partition.
std::expected<void, DmgError> decode_partition(const DmgImage& image, const PartitionPlan& plan,
                                               std::span<uint8_t> out);
std::expected<void, DmgError> decode_partition_to(const DmgImage& image, const PartitionPlan& plan, ByteSink& sink);

// Plan and execute in one call: into a new buffer, or into a sink with long
// raw runs refused; the latter returns the bytes written.
std::expected<std::vector<uint8_t>, DmgError> extract_partition_memory(const DmgImage& image, int32_t id);
std::expected<uint64_t, DmgError> extract_partition_stream(const DmgImage& image, int32_t id, ByteSink& sink);

// The first `length` bytes of a partition (fewer if it is smaller), decoding
// only the runs that hold them: enough to tell the file system inside.
std::expected<std::vector<uint8_t>, DmgError> read_partition_head(const DmgImage& image, int32_t id, size_t length);

// The first partition carrying the identifier.
const PartitionEntry* find_by_id(const DmgImage& image, int32_t id);
// The identifier of the first partition with exactly this name.
std::expected<int32_t, DmgError> find_by_name(const DmgImage& image, std::string_view name);
// The largest HFS+/HFSX/APFS partition, or the largest of all (later wins ties).
std::expected<int32_t, DmgError> select_main_partition(const DmgImage& image);

// "Hfsx", "Hfs", "Apfs" or "Other", from the partition's name.
std::string_view partition_type(std::string_view name);

struct PartitionSummary {
  std::string name;
  int32_t id = 0;
  uint64_t sectors = 0;
  uint64_t size = 0;
  uint64_t compressed_size = 0;
  std::string partition_type;
  std::optional<std::string> filesystem;  // what its first bytes hold, when someone has looked
};

struct ImageStats {
  uint32_t version = 0;
  uint64_t sector_count = 0;
  uint64_t partition_count = 0;
  uint64_t total_uncompressed = 0;
  uint64_t total_compressed = 0;
  uint64_t data_fork_length = 0;
  double compression_ratio = 1.0;
  double space_savings = 0.0;
};

struct CompressionCounts {
  uint32_t zero_fill_blocks = 0;
  uint32_t raw_blocks = 0;
  uint32_t zlib_blocks = 0;
  uint32_t bzip2_blocks = 0;
  uint32_t lzfse_blocks = 0;
  uint32_t xz_blocks = 0;
  uint32_t adc_blocks = 0;
};

std::vector<PartitionSummary> partition_list(const DmgImage& image);
ImageStats image_stats(const DmgImage& image);
CompressionCounts compression_counts(const DmgImage& image);

}  // namespace tev::udif
