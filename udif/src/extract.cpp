// Reassembling a partition from its runs, in memory (in parallel) or as a
// stream into a sink.
#include "tev/udif/extract.h"

#include <algorithm>
#include <new>

#include <fmt/format.h>

#include "tev/common/memory.h"
#include "tev/common/worker_pool.h"
#include "tev/udif/codecs.h"

namespace tev::udif {
namespace {

// Long stretches of zeros are written in pieces of this size.
constexpr size_t kZeroPiece = 1 << 20;

// Streaming decodes the compressed runs of a window of consecutive runs in
// parallel, then writes the window in order; memory stays bounded by the
// window, not the image.
constexpr size_t kWindowRunsPerWorker = 4;
constexpr uint64_t kWindowBytes = 64 << 20;

// The bytes a window's decoded runs may take: the first run always gets in,
// later ones while they fit in kWindowBytes.
class WindowBudget {
 public:
  bool admit(uint64_t length) {
    if (used_ > 0 && length > kWindowBytes - std::min(used_, kWindowBytes)) return false;
    used_ += std::max<uint64_t>(std::min(length, kWindowBytes), 1);
    return true;
  }

 private:
  uint64_t used_ = 0;
};

struct DecodedRun {
  std::vector<uint8_t> stored, bytes;
  std::expected<void, DmgError> status;
};

bool stores_bytes(const BlockRun& run) {
  switch (run.type) {
    case run_type::kRaw:
    case run_type::kIgnore: return run.compressed_length > 0;
    case run_type::kZlib:
    case run_type::kBzip2:
    case run_type::kLzfse:
    case run_type::kXz: return true;
    default: return false;
  }
}

// Bytes of a sector count, saturating instead of wrapping.
uint64_t sector_bytes(uint64_t sectors) {
  return sectors > UINT64_MAX / kSectorSize ? UINT64_MAX : sectors * kSectorSize;
}

// Sizes read from block tables are untrusted; nothing larger than the
// machine's memory is ever allocated for them.
std::expected<uint64_t, DmgError> byte_length(uint64_t sectors, std::string_view what) {
  if (sectors > physical_memory() / kSectorSize)
    return std::unexpected(
        DmgError::invalid_block_map(fmt::format("{} of {} sectors is too large to hold in memory", what, sectors)));
  return sectors * kSectorSize;
}

// Where a run's stored bytes lie in the file: the data fork, then the block
// table's data offset (non-zero in older images), then the run's offset.
std::expected<uint64_t, DmgError> stored_offset(const DmgImage& image, const BlockTable& table,
                                                const BlockRun& run) {
  uint64_t a = image.trailer.data_fork_offset, b = table.data_offset, c = run.compressed_offset;
  if (b > UINT64_MAX - a || c > UINT64_MAX - a - b)
    return std::unexpected(DmgError::invalid_block_map("block run offset overflows"));
  return a + b + c;
}

// The stored bytes' offset, once checked to lie within the file (reading
// beyond it would come up short).
std::expected<uint64_t, DmgError> stored_range(const DmgImage& image, const BlockTable& table, const BlockRun& run) {
  auto offset = stored_offset(image, table, run);
  if (!offset) return std::unexpected(offset.error());
  const uint64_t size = image.source.size();
  if (*offset > size || run.compressed_length > size - *offset)
    return std::unexpected(DmgError(IoError::unexpected_eof()));
  return offset;
}

// Reads a run's stored bytes into `buffer`, which is reused from run to run
// (a fresh megabyte per run costs more in page faults than the read itself).
std::expected<std::span<const uint8_t>, DmgError> read_stored(const DmgImage& image, const BlockTable& table,
                                                              const BlockRun& run, std::vector<uint8_t>& buffer) {
  auto offset = stored_range(image, table, run);
  if (!offset) return std::unexpected(offset.error());
  buffer.resize(static_cast<size_t>(run.compressed_length));
  if (auto r = image.source.read_exact_at(*offset, buffer); !r) return std::unexpected(DmgError(r.error()));
  return std::span<const uint8_t>(buffer);
}

std::expected<const PartitionEntry*, DmgError> partition_by_id(const DmgImage& image, int32_t id) {
  const PartitionEntry* p = find_by_id(image, id);
  if (p == nullptr) return std::unexpected(DmgError::file_not_found(fmt::format("partition {}", id)));
  return p;
}

std::expected<int32_t, DmgError> largest(const DmgImage& image, bool (*accept)(std::string_view)) {
  const PartitionEntry* best = nullptr;
  for (const auto& p : image.partitions)
    if (accept(p.name) && (best == nullptr || p.table.sector_count >= best->table.sector_count)) best = &p;
  if (best == nullptr) return std::unexpected(DmgError::file_not_found(""));
  return best->id;
}

bool is_file_system(std::string_view name) {
  return name.find("Apple_HFS") != std::string_view::npos || name.find("Apple_APFS") != std::string_view::npos;
}
bool is_hfs(std::string_view name) { return name.find("Apple_HFS") != std::string_view::npos; }
bool any(std::string_view) { return true; }

std::expected<void, DmgError> write_zeros(ByteSink& sink, uint64_t count) {
  static const std::vector<uint8_t> zeros(kZeroPiece, 0);
  while (count > 0) {
    size_t n = static_cast<size_t>(std::min<uint64_t>(count, zeros.size()));
    if (auto r = sink.write(std::span(zeros).first(n)); !r) return std::unexpected(DmgError(r.error()));
    count -= n;
  }
  return {};
}

}  // namespace

const PartitionEntry* find_by_id(const DmgImage& image, int32_t id) {
  for (const auto& p : image.partitions)
    if (p.id == id) return &p;
  return nullptr;
}

std::expected<int32_t, DmgError> select_main_partition(const DmgImage& image) {
  if (image.partitions.empty()) return std::unexpected(DmgError::file_not_found("no partitions found"));
  auto fs = largest(image, is_file_system);
  return fs ? fs : largest(image, any);
}

std::expected<int32_t, DmgError> select_hfs_partition(const DmgImage& image) {
  auto hfs = largest(image, is_hfs);
  if (!hfs) return std::unexpected(DmgError::file_not_found("no HFS+/HFSX partition found"));
  return hfs;
}

std::expected<PartitionPlan, DmgError> plan_partition(const DmgImage& image, int32_t id) {
  auto p = partition_by_id(image, id);
  if (!p) return std::unexpected(p.error());
  const BlockTable& table = (*p)->table;
  const uint64_t file_size = image.source.size();

  PartitionPlan plan;
  uint64_t stored_total = 0;
  for (const BlockRun& run : table.runs) {
    if (run.type == run_type::kAdc) return std::unexpected(DmgError::unsupported("ADC compression"));
    if (!stores_bytes(run)) continue;
    // Checked here, in table order, so that decoding may read them later.
    auto offset = stored_range(image, table, run);
    if (!offset) return std::unexpected(offset.error());
    // Stored ranges of a real image never overlap, so together they fit in
    // the file; a table that says otherwise would make us read it many times.
    if (run.compressed_length > file_size - std::min(stored_total, file_size))
      return std::unexpected(DmgError::invalid_block_map("block runs store more bytes than the file holds"));
    stored_total += run.compressed_length;
    auto length = byte_length(run.sector_count, "a block run");
    if (!length) return std::unexpected(length.error());
    uint64_t at = sector_bytes(run.sector_number);
    plan.jobs.push_back({run.type, *offset, run.compressed_length, at, *length});
  }
  auto size = byte_length(table.sector_count, "a partition");
  if (!size) return std::unexpected(size.error());
  plan.size = *size;

  // Slices are laid out by a sweep, so they never overlap: a run that starts
  // before the end of the previous one is placed right after it.
  std::stable_sort(plan.jobs.begin(), plan.jobs.end(),
                   [](const auto& a, const auto& b) { return a.slice < b.slice; });
  uint64_t cursor = 0;
  for (auto& job : plan.jobs) {
    cursor = std::max(cursor, job.slice);
    if (job.length > plan.size || cursor > plan.size - job.length)
      return std::unexpected(DmgError::invalid_block_map(fmt::format(
          "block run at byte {} of {} bytes reaches past the partition's {} bytes", cursor, job.length, plan.size)));
    job.slice = cursor;
    cursor += job.length;
  }
  return plan;
}

std::expected<void, DmgError> decode_partition(const DmgImage& image, const PartitionPlan& plan,
                                               std::span<uint8_t> out) {
  if (out.size() != plan.size) return std::unexpected(DmgError::invalid_block_map("output of the wrong size"));
  advise_huge_pages(out);
  // Only the bytes no run writes need zeroing: the gaps, and the tails of
  // raw runs that store less than they cover.
  uint64_t zeroed_to = 0;
  for (const auto& job : plan.jobs) {
    std::fill(out.begin() + zeroed_to, out.begin() + job.slice, 0);
    zeroed_to = job.slice + job.length;
  }
  std::fill(out.begin() + zeroed_to, out.end(), 0);

  // Each task reads its run's stored bytes into a buffer of its thread's and
  // decodes them into its own slice.
  auto results = parallel_map<bool, DmgError>(plan.jobs.size(), [&](size_t i) -> std::expected<bool, DmgError> {
    const auto& job = plan.jobs[i];
    thread_local std::vector<uint8_t> stored;
    if (stored.size() < job.stored_length) stored.resize(job.stored_length);
    std::span<uint8_t> in(stored.data(), job.stored_length);
    if (auto r = image.source.read_exact_at(job.stored_offset, in); !r) return std::unexpected(DmgError(r.error()));
    std::span<uint8_t> slice = out.subspan(job.slice, job.length);
    if (job.type == run_type::kRaw || job.type == run_type::kIgnore) {
      size_t n = std::min(in.size(), slice.size());
      std::copy_n(in.begin(), n, slice.begin());
      std::fill(slice.begin() + n, slice.end(), 0);
      return true;
    }
    if (auto r = decode_run(job.type, in, slice); !r) return std::unexpected(r.error());
    return true;
  });
  if (!results) return std::unexpected(results.error());
  return {};
}

std::expected<void, DmgError> decode_partition_to(const DmgImage& image, const PartitionPlan& plan, ByteSink& sink) {
  const size_t window_runs = kWindowRunsPerWorker * WorkerPool::instance().worker_count();
  std::vector<DecodedRun> slots(window_runs);
  uint64_t written = 0;
  for (size_t begin = 0; begin < plan.jobs.size();) {
    size_t end = begin;
    WindowBudget budget;
    while (end < plan.jobs.size() && end - begin < window_runs && budget.admit(plan.jobs[end].length)) ++end;
    WorkerPool::instance().run(end - begin, [&](size_t k) {
      const auto& job = plan.jobs[begin + k];
      DecodedRun& slot = slots[k];
      slot.stored.resize(static_cast<size_t>(job.stored_length));
      if (auto r = image.source.read_exact_at(job.stored_offset, slot.stored); !r) {
        slot.status = std::unexpected(DmgError(r.error()));
        return;
      }
      if (job.type == run_type::kRaw || job.type == run_type::kIgnore)
        slot.bytes.assign(static_cast<size_t>(job.length), 0);  // the rest of a short raw run is zero
      else
        slot.bytes.resize(static_cast<size_t>(job.length));  // the codecs fill it whole or fail
      slot.status = decode_run(job.type, slot.stored, slot.bytes);
    });
    for (size_t k = 0; k < end - begin; ++k) {
      const auto& job = plan.jobs[begin + k];
      if (!slots[k].status) return std::unexpected(slots[k].status.error());
      if (auto r = write_zeros(sink, job.slice - written); !r) return r;
      if (auto r = sink.write(slots[k].bytes); !r) return std::unexpected(DmgError(r.error()));
      written = job.slice + job.length;
    }
    begin = end;
  }
  return write_zeros(sink, plan.size - written);
}

std::expected<std::vector<uint8_t>, DmgError> extract_partition_memory(const DmgImage& image, int32_t id) {
  auto plan = plan_partition(image, id);
  if (!plan) return std::unexpected(plan.error());
  std::vector<uint8_t> out;
  try {
    out.resize(plan->size);
  } catch (const std::bad_alloc&) {
    return std::unexpected(DmgError::io(IoError::from_errno(ENOMEM)));
  }
  if (auto r = decode_partition(image, *plan, out); !r) return std::unexpected(r.error());
  return out;
}

namespace {

bool is_compressed(uint32_t type) {
  return type == run_type::kZlib || type == run_type::kBzip2 || type == run_type::kLzfse || type == run_type::kXz;
}

std::expected<void, DmgError> decode_for_stream(const DmgImage& image, const BlockTable& table,
                                                const BlockRun& run, DecodedRun& slot) {
  auto stored = read_stored(image, table, run, slot.stored);
  if (!stored) return std::unexpected(stored.error());
  auto length = byte_length(run.sector_count, "a block run");
  if (!length) return std::unexpected(length.error());
  // The codecs fill the whole output or fail, so the buffer needs no zeroing.
  slot.bytes.resize(static_cast<size_t>(*length));
  return decode_run(run.type, *stored, slot.bytes);
}

}  // namespace

std::expected<uint64_t, DmgError> extract_partition_stream(const DmgImage& image, int32_t id, ByteSink& sink) {
  auto p = partition_by_id(image, id);
  if (!p) return std::unexpected(p.error());
  const BlockTable& table = (*p)->table;
  const auto& runs = table.runs;
  const size_t window_runs = kWindowRunsPerWorker * WorkerPool::instance().worker_count();
  uint64_t written = 0;
  std::vector<uint8_t> stored_buffer;
  std::vector<DecodedRun> slots(window_runs);

  for (size_t begin = 0; begin < runs.size();) {
    // The window: up to window_runs runs, ending early once its compressed
    // runs would decode to more than kWindowBytes.
    size_t end = begin;
    WindowBudget budget;
    std::vector<size_t> compressed;
    while (end < runs.size() && end - begin < window_runs) {
      const BlockRun& run = runs[end];
      if (is_compressed(run.type)) {
        if (!budget.admit(sector_bytes(run.sector_count))) break;
        compressed.push_back(end);
      }
      ++end;
    }
    WorkerPool::instance().run(compressed.size(), [&](size_t k) {
      slots[k].status = decode_for_stream(image, table, runs[compressed[k]], slots[k]);
    });

    size_t next_compressed = 0;
    for (size_t i = begin; i < end; ++i) {
      const BlockRun& run = runs[i];
      if (run.type == run_type::kComment || run.type == run_type::kTerminator) continue;
      uint64_t start = sector_bytes(run.sector_number);
      if (run.sector_count > UINT64_MAX / kSectorSize)
        return std::unexpected(DmgError::invalid_block_map("block run length overflows"));
      uint64_t length = run.sector_count * kSectorSize;
      if (written < start) {
        if (auto r = write_zeros(sink, start - written); !r) return std::unexpected(r.error());
        written = start;
      }
      if (is_compressed(run.type)) {
        DecodedRun& slot = slots[next_compressed++];
        if (!slot.status) return std::unexpected(slot.status.error());
        if (auto r = sink.write(slot.bytes); !r) return std::unexpected(DmgError(r.error()));
      } else if (run.type == run_type::kAdc) {
        return std::unexpected(DmgError::unsupported("ADC compression"));
      } else if ((run.type == run_type::kRaw || run.type == run_type::kIgnore) && run.compressed_length > 0) {
        auto stored = read_stored(image, table, run, stored_buffer);
        if (!stored) return std::unexpected(stored.error());
        if (auto r = sink.write(*stored); !r) return std::unexpected(DmgError(r.error()));
        if (stored->size() > length)
          return std::unexpected(DmgError::invalid_block_map(fmt::format(
              "block run stores {} bytes but declares only {}", stored->size(), length)));
        if (auto r = write_zeros(sink, length - stored->size()); !r) return std::unexpected(r.error());
      } else {
        // Zero fill, and raw or ignore runs that store nothing.
        if (auto r = write_zeros(sink, length); !r) return std::unexpected(r.error());
      }
      written += length;
    }
    begin = end;
  }
  uint64_t size = sector_bytes(table.sector_count);
  if (written < size) {
    if (auto r = write_zeros(sink, size - written); !r) return std::unexpected(r.error());
    written = size;
  }
  return written;
}

std::expected<int32_t, DmgError> find_by_name(const DmgImage& image, std::string_view name) {
  for (const auto& p : image.partitions)
    if (p.name == name) return p.id;
  return std::unexpected(DmgError::file_not_found(std::string(name)));
}

std::expected<std::vector<uint8_t>, DmgError> extract_partition_by_name(const DmgImage& image,
                                                                        std::string_view name) {
  auto id = find_by_name(image, name);
  if (!id) return std::unexpected(id.error());
  return extract_partition_memory(image, *id);
}

std::string_view partition_type(std::string_view name) {
  if (name.find("Apple_HFSX") != std::string_view::npos) return "Hfsx";
  if (name.find("Apple_HFS") != std::string_view::npos) return "Hfs";
  if (name.find("Apple_APFS") != std::string_view::npos) return "Apfs";
  return "Other";
}

std::vector<PartitionSummary> partition_list(const DmgImage& image) {
  std::vector<PartitionSummary> out;
  for (const auto& p : image.partitions) {
    uint64_t compressed = 0;
    for (const auto& r : p.table.runs) compressed += r.compressed_length;
    out.push_back({p.name, p.id, p.table.sector_count, p.table.sector_count * kSectorSize, compressed,
                   std::string(partition_type(p.name))});
  }
  return out;
}

ImageStats image_stats(const DmgImage& image) {
  ImageStats s;
  s.version = image.trailer.version;
  s.sector_count = image.trailer.sector_count;
  s.data_fork_length = image.trailer.data_fork_length;
  s.partition_count = image.partitions.size();
  for (const auto& p : image.partitions) {
    s.total_uncompressed += p.table.sector_count * kSectorSize;
    for (const auto& r : p.table.runs) s.total_compressed += r.compressed_length;
  }
  s.compression_ratio = s.total_uncompressed == 0
                            ? 1.0
                            : static_cast<double>(s.total_compressed) / static_cast<double>(s.total_uncompressed);
  s.space_savings = (1.0 - s.compression_ratio) * 100.0;
  return s;
}

CompressionCounts compression_counts(const DmgImage& image) {
  CompressionCounts c;
  for (const auto& p : image.partitions)
    for (const auto& r : p.table.runs) {
      switch (r.type) {
        case run_type::kZeroFill: ++c.zero_fill_blocks; break;
        case run_type::kRaw: ++c.raw_blocks; break;
        case run_type::kZlib: ++c.zlib_blocks; break;
        case run_type::kBzip2: ++c.bzip2_blocks; break;
        case run_type::kLzfse: ++c.lzfse_blocks; break;
        case run_type::kXz: ++c.xz_blocks; break;
        case run_type::kAdc: ++c.adc_blocks; break;
        default: break;
      }
    }
  return c;
}

}  // namespace tev::udif
