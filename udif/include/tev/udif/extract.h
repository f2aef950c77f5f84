#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>
#include <vector>

#include "tev/common/byte_sink.h"
#include "tev/udif/image.h"

namespace tev::udif {

// A partition's bytes in one buffer; runs are decoded in parallel.
std::expected<std::vector<uint8_t>, DmgError> extract_partition_memory(const DmgImage& image, int32_t id);

// The same in two steps, so that a caller can provide the buffer itself (a
// Python bytes object, say): plan_partition checks the runs and gives the
// size; decode_partition fills a buffer of exactly that size.
struct PartitionPlan {
  struct Job {
    uint32_t type;
    uint64_t stored_offset;
    uint64_t stored_length;
    uint64_t slice;   // where the run's bytes go in the output
    uint64_t length;  // how many
  };
  uint64_t size = 0;
  std::vector<Job> jobs;  // in output order
};
std::expected<PartitionPlan, DmgError> plan_partition(const DmgImage& image, int32_t id);
std::expected<void, DmgError> decode_partition(const DmgImage& image, const PartitionPlan& plan,
                                               std::span<uint8_t> out);
// The same bytes written to a sink, decoded a window of runs at a time, so
// that memory stays bounded by the window instead of the partition.
std::expected<void, DmgError> decode_partition_to(const DmgImage& image, const PartitionPlan& plan, ByteSink& sink);
// A partition's bytes written to a sink run by run; returns the bytes written.
std::expected<uint64_t, DmgError> extract_partition_stream(const DmgImage& image, int32_t id, ByteSink& sink);
std::expected<std::vector<uint8_t>, DmgError> extract_partition_by_name(const DmgImage& image,
                                                                        std::string_view name);

// The first partition carrying the identifier.
const PartitionEntry* find_by_id(const DmgImage& image, int32_t id);
// The identifier of the first partition with exactly this name.
std::expected<int32_t, DmgError> find_by_name(const DmgImage& image, std::string_view name);
// The largest HFS+/HFSX/APFS partition, or the largest of all (later wins ties).
std::expected<int32_t, DmgError> select_main_partition(const DmgImage& image);
std::expected<int32_t, DmgError> select_hfs_partition(const DmgImage& image);

// "Hfsx", "Hfs", "Apfs" or "Other", from the partition's name.
std::string_view partition_type(std::string_view name);

struct PartitionSummary {
  std::string name;
  int32_t id = 0;
  uint64_t sectors = 0;
  uint64_t size = 0;
  uint64_t compressed_size = 0;
  std::string partition_type;
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
