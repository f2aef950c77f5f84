// From a DMG to the file system inside it.
#include "tev/pipeline/dmg_pipeline.h"

#include <sys/statvfs.h>

#include <fmt/format.h>

#include <algorithm>
#include <cerrno>
#include <string_view>
#include <vector>

#include "tev/common/byte_cursor.h"
#include "tev/common/temp_file.h"
#include "tev/common/text.h"
#include "tev/udif/extract.h"

namespace tev::pipeline {
namespace {

// The HFS+ volume header sits 1024 bytes in; the APFS container superblock's
// magic 32 bytes into block 0.
constexpr size_t kHeadBytes = 2048;
constexpr size_t kHfsHeaderOffset = 1024;
constexpr size_t kApfsMagicOffset = 32;

struct Candidate {
  int32_t id;
  FsSignature kind;
};

bool named(const udif::PartitionEntry& p, std::string_view type) {
  return p.name.find(type) != std::string::npos;
}

uint64_t sectors_of(const udif::PartitionEntry& p) { return p.table.sector_count; }

// The largest partition the predicate accepts, the later one winning a tie.
template <class Accept>
const udif::PartitionEntry* largest(const udif::DmgImage& image, Accept&& accept) {
  const udif::PartitionEntry* best = nullptr;
  for (const auto& p : image.partitions)
    if (accept(p) && (best == nullptr || sectors_of(p) >= sectors_of(*best))) best = &p;
  return best;
}

// The name-based choice first: HFS+ wins over APFS whatever their sizes.
// Images whose partition names say nothing are opened by signature.
std::expected<Candidate, PipelineError> choose(const udif::DmgImage& image) {
  if (auto* hfs = largest(image, [](const auto& p) { return named(p, "Apple_HFS"); }))
    return Candidate{hfs->id, FsSignature::HfsPlus};
  if (auto* apfs = largest(image, [](const auto& p) { return named(p, "Apple_APFS"); }))
    return Candidate{apfs->id, FsSignature::Apfs};
  std::optional<Candidate> best;
  uint64_t best_sectors = 0;
  for (const auto& p : image.partitions) {
    auto sig = partition_filesystem(image, p.id);
    if (!sig || (best && sectors_of(p) < best_sectors)) continue;
    best = Candidate{p.id, *sig};
    best_sectors = sectors_of(p);
  }
  if (best) return *best;
  std::string names;
  for (const auto& p : image.partitions) names += (names.empty() ? "" : ", ") + quoted_form(p.name);
  return std::unexpected(PipelineError::no_filesystem_partition(fmt::format("partitions: {}", names.empty() ? "none" : names)));
}

std::expected<Candidate, PipelineError> chosen(const udif::DmgImage& image, int32_t id) {
  const auto* p = udif::find_by_id(image, id);
  if (p == nullptr) return std::unexpected(PipelineError(udif::DmgError::file_not_found(fmt::format("partition {}", id))));
  auto sig = partition_filesystem(image, id);
  if (!sig)
    return std::unexpected(PipelineError::no_filesystem_partition(
        fmt::format("partition {} ({}) holds neither HFS+ nor APFS", id, p->name)));
  return Candidate{id, *sig};
}

std::expected<OpenedFilesystem, PipelineError> open_reader(ByteSource source, FsSignature kind, bool in_memory) {
  if (kind == FsSignature::Apfs) {
    auto r = apfs::open_container(std::move(source));
    if (!r) return std::unexpected(PipelineError(r.error()));
    return OpenedFilesystem(std::move(*r), in_memory);
  }
  auto r = hfsplus::open_volume(std::move(source));
  if (!r) return std::unexpected(PipelineError(r.error()));
  return OpenedFilesystem(std::move(*r), in_memory);
}

// A partition can declare far more than its image holds (zero fill costs
// nothing to store), so the room it needs is checked before it is written.
std::expected<void, PipelineError> check_room(const TempFile& file, uint64_t size) {
  struct statvfs vfs {};
  if (::fstatvfs(file.fd(), &vfs) != 0) return std::unexpected(PipelineError(IoError::from_errno(errno)));
  uint64_t free = static_cast<uint64_t>(vfs.f_bavail) * vfs.f_frsize;
  if (size <= free) return {};
  return std::unexpected(PipelineError(IoError::other(fmt::format(
      "no room for the partition in the temporary directory: it needs {} bytes, {} are free "
      "(set TMPDIR to a larger file system, or open the file system in memory)",
      size, free))));
}

std::expected<ByteSource, PipelineError> to_temp_file(const udif::DmgImage& image, const udif::PartitionPlan& plan,
                                                      const ProgressFn* progress) {
  auto file = TempFile::create();
  if (!file) return std::unexpected(PipelineError(file.error()));
  if (auto r = check_room(*file, plan.size); !r) return std::unexpected(r.error());
  auto sink = file->writer();
  if (!sink) return std::unexpected(PipelineError(sink.error()));
  ProgressMeter meter(progress, plan.size);
  MeteredSink metered(*sink, meter);
  if (auto r = udif::decode_partition_to(image, plan, metered); !r) return std::unexpected(PipelineError(r.error()));
  if (auto r = sink->finish(); !r) return std::unexpected(PipelineError(r.error()));
  if (!meter.finish()) return std::unexpected(PipelineError(cancelled()));
  auto source = ByteSource::from_temp_file(std::move(*file));
  if (!source) return std::unexpected(PipelineError(source.error()));
  return std::move(*source);
}

std::expected<ByteSource, PipelineError> to_memory(const udif::DmgImage& image, const udif::PartitionPlan& plan,
                                                   const ProgressFn* progress) {
  std::vector<uint8_t> bytes;
  try {
    bytes.resize(static_cast<size_t>(plan.size));
  } catch (const std::bad_alloc&) {
    return std::unexpected(PipelineError(udif::DmgError::io(IoError::from_errno(ENOMEM))));
  }
  ProgressMeter meter(progress, plan.size);
  if (auto r = udif::decode_partition(image, plan, bytes); !r) return std::unexpected(PipelineError(r.error()));
  meter.advance(plan.size);
  if (!meter.finish()) return std::unexpected(PipelineError(cancelled()));
  return ByteSource::from_bytes(std::move(bytes));
}

}  // namespace

const char* fs_signature_text(FsSignature signature) {
  switch (signature) {
    case FsSignature::HfsPlus: return "hfsplus";
    case FsSignature::Hfsx: return "hfsx";
    case FsSignature::Apfs: return "apfs";
  }
  return "";
}

std::optional<FsSignature> detect_filesystem(std::span<const uint8_t> head) {
  if (auto v = StructView<2>::of(head, kHfsHeaderOffset)) {
    uint16_t sig = v->be<uint16_t, 0>();
    if (sig == 0x482B) return FsSignature::HfsPlus;  // "H+"
    if (sig == 0x4858) return FsSignature::Hfsx;     // "HX"
  }
  if (auto v = StructView<4>::of(head, kApfsMagicOffset); v && v->be<uint32_t, 0>() == 0x4E585342)  // "NXSB"
    return FsSignature::Apfs;
  return std::nullopt;
}

std::optional<FsSignature> partition_filesystem(const udif::DmgImage& image, int32_t id) {
  auto head = udif::read_partition_head(image, id, kHeadBytes);
  if (!head) return std::nullopt;
  return detect_filesystem(*head);
}

std::expected<udif::DmgImage, PipelineError> open_pipeline(const std::string& path) {
  auto image = udif::open_dmg(path);
  if (!image) return std::unexpected(PipelineError(image.error()));
  return std::move(*image);
}

std::expected<OpenedFilesystem, PipelineError> open_filesystem(const udif::DmgImage& image,
                                                               const FilesystemRequest& request) {
  auto candidate = request.partition ? chosen(image, *request.partition) : choose(image);
  if (!candidate) return std::unexpected(candidate.error());
  auto plan = udif::plan_partition(image, candidate->id,
                                   request.mode == ExtractionMode::TempFile ? udif::LongRawRuns::Refuse
                                                                            : udif::LongRawRuns::CutOff);
  if (!plan) return std::unexpected(PipelineError(plan.error()));
  const bool in_memory = request.mode == ExtractionMode::InMemory;
  auto source = in_memory ? to_memory(image, *plan, request.progress) : to_temp_file(image, *plan, request.progress);
  if (!source) return std::unexpected(source.error());
  return open_reader(std::move(*source), candidate->kind, in_memory);
}

}  // namespace tev::pipeline
