// Reassembling a partition from its runs: one plan that checks every run,
// and one executor that decodes windows of runs in parallel and delivers
// them, in order, into a buffer or a sink.
#include "tev/udif/extract.h"

#include <algorithm>
#include <new>

#include <fmt/format.h>

#include "tev/common/checked.h"
#include "tev/common/buffer.h"
#include "tev/common/memory.h"
#include "tev/common/object_pool.h"
#include "tev/common/worker_pool.h"
#include "tev/udif/codecs.h"

namespace tev::udif {
namespace {

// Long stretches of zeros, and raw runs too long for a window, are written
// in pieces of this size.
constexpr size_t kPiece = 1 << 20;

// A window is at most this many runs per worker and, past its first run,
// at most kWindowBytes of buffers: memory stays bounded by the window, not
// the partition. Runs decoded straight into memory need only their stored
// bytes buffered, so their windows are longer: each window ends in a wait
// for its slowest run.
constexpr size_t kWindowRunsPerWorker = 4;
constexpr size_t kMemoryWindowRunsPerWorker = 64;
constexpr uint64_t kWindowBytes = 64 << 20;

bool is_copy(uint32_t type) { return type == run_type::kRaw || type == run_type::kIgnore; }

bool stores_bytes(const BlockRun& run) {
  switch (run.type) {
    case run_type::kRaw:
    case run_type::kIgnore: return run.compressed_length > 0;
    case run_type::kZlib:
    case run_type::kBzip2:
    case run_type::kLzfse:
    case run_type::kXz:
    case run_type::kAdc: return true;
    default: return false;
  }
}

// Where a run's stored bytes lie in the file: the data fork, then the block
// table's data offset (non-zero in older images), then the run's offset.
std::expected<uint64_t, DmgError> stored_offset(const DmgImage& image, const BlockTable& table,
                                                const BlockRun& run) {
  auto at = checked_add(image.trailer.data_fork_offset, table.data_offset);
  if (at) at = checked_add(*at, run.compressed_offset);
  if (!at) return std::unexpected(DmgError::invalid_block_map("block run offset overflows"));
  if (!range_fits(*at, run.compressed_length, image.source.size()))
    return std::unexpected(DmgError(IoError::unexpected_eof()));
  return *at;
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
bool any(std::string_view) { return true; }

std::expected<void, DmgError> write_zeros(ByteSink& sink, uint64_t count) {
  if (auto r = sink.write_zeros(count); !r) return std::unexpected(DmgError(r.error()));
  return {};
}

// The bytes of a run's sector range, refused past what a partition may hold.
std::expected<uint64_t, DmgError> byte_length(uint64_t sectors, std::string_view what) {
  uint64_t bytes = saturating_mul(sectors, kSectorSize);
  if (bytes > kMaxPartitionSize)
    return std::unexpected(DmgError::invalid_block_map(
        fmt::format("{} of {} sectors is larger than the {} bytes a partition may hold", what, sectors,
                    kMaxPartitionSize)));
  return bytes;
}

// Where the executor puts decoded runs: straight into a buffer, or into a
// sink in partition order.
struct Target {
  std::span<uint8_t> memory;
  ByteSink* sink = nullptr;
};

// A run that does not fit in a window in streaming mode: a long raw run,
// copied to the sink in pieces when its turn comes.
bool copied_in_pieces(const PartitionPlan::Job& job, const Target& target) {
  return target.sink != nullptr && is_copy(job.type) && job.length > kWindowBytes;
}

// What a window's run costs in buffers.
uint64_t window_cost(const PartitionPlan::Job& job, const Target& target) {
  if (target.sink == nullptr) return is_copy(job.type) ? 0 : job.stored_length;
  if (copied_in_pieces(job, target)) return 0;
  return job.length + (is_copy(job.type) ? 0 : job.stored_length);
}

// A run's decoded bytes waiting for their turn in a sink.
struct Slot {
  Buffer bytes;
  std::expected<void, DmgError> status;
};

// Stored bytes are read into one of these, one per worker at a time, and
// decoded from there.
using StoredBuffers = ObjectPool<Buffer>;

// Decodes one run into `out` (exactly its length): raw runs are read in
// place and the rest of their range zeroed, codec runs through a buffer of
// stored bytes.
std::expected<void, DmgError> decode_job(const DmgImage& image, const PartitionPlan::Job& job,
                                         StoredBuffers& buffers, std::span<uint8_t> out) {
  if (is_copy(job.type)) {
    auto head = out.first(static_cast<size_t>(job.stored_length));
    if (auto r = image.source.read_exact_at(job.stored_offset, head); !r) return std::unexpected(DmgError(r.error()));
    std::fill(out.begin() + static_cast<ptrdiff_t>(head.size()), out.end(), 0);
    return {};
  }
  auto stored = buffers.take();
  stored->resize(static_cast<size_t>(job.stored_length));
  if (auto r = image.source.read_exact_at(job.stored_offset, *stored); !r) return std::unexpected(DmgError(r.error()));
  return decode_run(job.type, *stored, out);
}

std::expected<void, DmgError> copy_in_pieces(const DmgImage& image, const PartitionPlan::Job& job,
                                             Buffer& buffer, ByteSink& sink) {
  buffer.resize(kPiece);
  for (uint64_t done = 0; done < job.stored_length;) {
    size_t n = static_cast<size_t>(std::min<uint64_t>(kPiece, job.stored_length - done));
    auto piece = std::span(buffer).first(n);
    if (auto r = image.source.read_exact_at(job.stored_offset + done, piece); !r)
      return std::unexpected(DmgError(r.error()));
    if (auto r = sink.write(piece); !r) return std::unexpected(DmgError(r.error()));
    done += n;
  }
  return write_zeros(sink, job.length - job.stored_length);
}

std::expected<void, DmgError> execute(const DmgImage& image, const PartitionPlan& plan, Target target) {
  const size_t window_runs = (target.sink == nullptr ? kMemoryWindowRunsPerWorker : kWindowRunsPerWorker) *
                             WorkerPool::instance().worker_count();
  std::vector<Slot> slots(std::min(window_runs, plan.jobs.size()));
  StoredBuffers buffers;
  uint64_t written = 0;
  for (size_t begin = 0; begin < plan.jobs.size();) {
    size_t end = begin;
    for (uint64_t used = 0; end < plan.jobs.size() && end - begin < window_runs; ++end) {
      uint64_t cost = window_cost(plan.jobs[end], target);
      if (end > begin && cost > kWindowBytes - std::min(used, kWindowBytes)) break;
      used += cost;
    }
    WorkerPool::instance().run(end - begin, [&](size_t k) {
      const auto& job = plan.jobs[begin + k];
      Slot& slot = slots[k];
      if (copied_in_pieces(job, target)) {
        slot.status = {};
        return;
      }
      std::span<uint8_t> out;
      if (target.sink == nullptr) {
        out = target.memory.subspan(static_cast<size_t>(job.slice), static_cast<size_t>(job.length));
      } else {
        slot.bytes.resize(static_cast<size_t>(job.length));  // filled whole by decode_job or it fails
        out = slot.bytes;
      }
      slot.status = decode_job(image, job, buffers, out);
    });
    for (size_t k = 0; k < end - begin; ++k) {
      const auto& job = plan.jobs[begin + k];
      if (!slots[k].status) return std::unexpected(slots[k].status.error());
      if (target.sink == nullptr) continue;
      if (auto r = write_zeros(*target.sink, job.slice - written); !r) return r;
      if (copied_in_pieces(job, target)) {
        if (auto r = copy_in_pieces(image, job, *buffers.take(), *target.sink); !r) return r;
      } else if (auto r = target.sink->write(slots[k].bytes); !r) {
        return std::unexpected(DmgError(r.error()));
      }
      written = job.slice + job.length;
    }
    // Buffers grown for one long run are not kept for the rest.
    for (auto& slot : slots)
      if (slot.bytes.capacity() > kWindowBytes) slot = Slot{};
    begin = end;
  }
  if (target.sink != nullptr) return write_zeros(*target.sink, plan.size - written);
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

std::expected<PartitionPlan, DmgError> plan_partition(const DmgImage& image, int32_t id, LongRawRuns long_raw) {
  auto p = partition_by_id(image, id);
  if (!p) return std::unexpected(p.error());
  const BlockTable& table = (*p)->table;
  const uint64_t file_size = image.source.size();

  PartitionPlan plan;
  auto size = byte_length(table.sector_count, "a partition");
  if (!size) return std::unexpected(size.error());
  plan.size = *size;
  uint64_t stored_total = 0;
  for (const BlockRun& run : table.runs) {
    if (!stores_bytes(run)) continue;
    // Checked here, in table order, so that decoding may read them later.
    auto offset = stored_offset(image, table, run);
    if (!offset) return std::unexpected(offset.error());
    // Stored ranges of a real image never overlap, so together they fit in
    // the file; a table that says otherwise would make us read it many times.
    if (run.compressed_length > file_size - std::min(stored_total, file_size))
      return std::unexpected(DmgError::invalid_block_map("block runs store more bytes than the file holds"));
    stored_total += run.compressed_length;
    auto length = byte_length(run.sector_count, "a block run");
    if (!length) return std::unexpected(length.error());
    uint64_t stored_length = run.compressed_length;
    if (is_copy(run.type) && stored_length > *length) {
      if (long_raw == LongRawRuns::Refuse)
        return std::unexpected(DmgError::invalid_block_map(
            fmt::format("block run stores {} bytes but declares only {}", stored_length, *length)));
      stored_length = *length;  // the rest has no place in the partition
    }
    if (!is_copy(run.type) && (*length > kMaxChunkSize || stored_length > kMaxChunkSize))
      return std::unexpected(DmgError::invalid_block_map(
          fmt::format("compressed block run of {} bytes ({} stored) is larger than the {} bytes a chunk may hold",
                      *length, stored_length, kMaxChunkSize)));
    plan.jobs.push_back({run.type, *offset, stored_length, saturating_mul(run.sector_number, kSectorSize), *length});
  }

  // Slices are laid out by a sweep, so they never overlap: a run that starts
  // before the end of the previous one is placed right after it.
  std::stable_sort(plan.jobs.begin(), plan.jobs.end(),
                   [](const auto& a, const auto& b) { return a.slice < b.slice; });
  uint64_t cursor = 0;
  for (auto& job : plan.jobs) {
    cursor = std::max(cursor, job.slice);
    if (!range_fits(cursor, job.length, plan.size))
      return std::unexpected(DmgError::invalid_block_map(fmt::format(
          "block run at byte {} of {} bytes reaches past the partition's {} bytes", cursor, job.length, plan.size)));
    job.slice = cursor;
    cursor += job.length;
  }
  return plan;
}

std::expected<void, DmgError> decode_partition(const DmgImage& image, const PartitionPlan& plan,
                                               std::span<uint8_t> out, OutputZeroed zeroed) {
  if (out.size() != plan.size) return std::unexpected(DmgError::invalid_block_map("output of the wrong size"));
  // Fresh anonymous memory is left to small pages: a huge page would be made
  // (and zeroed) for every gap a run touches, and the first faults of a
  // process stall while the kernel compacts memory for them.
  if (zeroed == OutputZeroed::Yes) return execute(image, plan, Target{out, nullptr});
  advise_huge_pages(out);
  // Only the bytes no run writes need zeroing: the gaps between runs.
  uint64_t zeroed_to = 0;
  for (const auto& job : plan.jobs) {
    std::fill(out.begin() + static_cast<ptrdiff_t>(zeroed_to), out.begin() + static_cast<ptrdiff_t>(job.slice), 0);
    zeroed_to = job.slice + job.length;
  }
  std::fill(out.begin() + static_cast<ptrdiff_t>(zeroed_to), out.end(), 0);
  return execute(image, plan, Target{out, nullptr});
}

std::expected<void, DmgError> decode_partition_to(const DmgImage& image, const PartitionPlan& plan, ByteSink& sink) {
  return execute(image, plan, Target{{}, &sink});
}

std::expected<std::vector<uint8_t>, DmgError> extract_partition_memory(const DmgImage& image, int32_t id) {
  auto plan = plan_partition(image, id);
  if (!plan) return std::unexpected(plan.error());
  std::vector<uint8_t> out;
  try {
    out.resize(static_cast<size_t>(plan->size));
  } catch (const std::bad_alloc&) {
    return std::unexpected(DmgError::io(IoError::from_errno(ENOMEM)));
  }
  if (auto r = decode_partition(image, *plan, out); !r) return std::unexpected(r.error());
  return out;
}

std::expected<uint64_t, DmgError> extract_partition_stream(const DmgImage& image, int32_t id, ByteSink& sink) {
  auto plan = plan_partition(image, id, LongRawRuns::Refuse);
  if (!plan) return std::unexpected(plan.error());
  if (auto r = decode_partition_to(image, *plan, sink); !r) return std::unexpected(r.error());
  return plan->size;
}

std::expected<std::vector<uint8_t>, DmgError> read_partition_head(const DmgImage& image, int32_t id, size_t length) {
  auto plan = plan_partition(image, id);
  if (!plan) return std::unexpected(plan.error());
  std::vector<uint8_t> out(static_cast<size_t>(std::min<uint64_t>(length, plan->size)), 0);
  StoredBuffers buffers;
  Buffer decoded;
  for (const auto& job : plan->jobs) {
    if (job.slice >= out.size()) break;
    size_t want = static_cast<size_t>(std::min<uint64_t>(job.length, out.size() - job.slice));
    auto dest = std::span(out).subspan(static_cast<size_t>(job.slice), want);
    if (is_copy(job.type)) {
      // Only the piece wanted, however long the run.
      auto head = dest.first(static_cast<size_t>(std::min<uint64_t>(want, job.stored_length)));
      if (auto r = image.source.read_exact_at(job.stored_offset, head); !r) return std::unexpected(DmgError(r.error()));
      continue;
    }
    decoded.resize(static_cast<size_t>(job.length));
    if (auto r = decode_job(image, job, buffers, decoded); !r) return std::unexpected(r.error());
    std::copy_n(decoded.begin(), want, dest.begin());
  }
  return out;
}

std::expected<int32_t, DmgError> find_by_name(const DmgImage& image, std::string_view name) {
  for (const auto& p : image.partitions)
    if (p.name == name) return p.id;
  return std::unexpected(DmgError::file_not_found(std::string(name)));
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
    for (const auto& r : p.table.runs) compressed = saturating_add(compressed, r.compressed_length);
    out.push_back({p.name, p.id, p.table.sector_count, saturating_mul(p.table.sector_count, kSectorSize),
                   compressed, std::string(partition_type(p.name)), std::nullopt});
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
    s.total_uncompressed = saturating_add(s.total_uncompressed, saturating_mul(p.table.sector_count, kSectorSize));
    for (const auto& r : p.table.runs) s.total_compressed = saturating_add(s.total_compressed, r.compressed_length);
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
