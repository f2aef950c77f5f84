// The "mish" block table and its 40-byte runs, big-endian throughout.
#include <algorithm>

#include <fmt/format.h>

#include "tev/common/byte_cursor.h"
#include "tev/udif/image.h"

namespace tev::udif {
namespace {

bool is_known_run_type(uint32_t type) {
  static constexpr uint32_t kTypes[] = {run_type::kZeroFill, run_type::kRaw,   run_type::kIgnore,
                                        run_type::kAdc,      run_type::kZlib,  run_type::kBzip2,
                                        run_type::kLzfse,    run_type::kXz,    run_type::kComment,
                                        run_type::kTerminator};
  return std::find(std::begin(kTypes), std::end(kTypes), type) != std::end(kTypes);
}

}  // namespace

uint32_t UdifChecksum::first_word() const { return load_be<uint32_t>(value, 0); }

UdifChecksum UdifChecksum::parse(std::span<const uint8_t> bytes, size_t at) {
  UdifChecksum c;
  c.type = load_be<uint32_t>(bytes, at);
  c.size = load_be<uint32_t>(bytes, at + 4);
  std::copy_n(bytes.begin() + at + 8, 128, c.value.begin());
  return c;
}

std::expected<BlockRun, DmgError> parse_block_run(std::span<const uint8_t> bytes) {
  if (bytes.size() < kRunSize) return std::unexpected(DmgError::invalid_block_map("block run too short"));
  BlockRun run;
  run.type = load_be<uint32_t>(bytes, 0);
  if (!is_known_run_type(run.type)) return std::unexpected(DmgError::unsupported_compression(run.type));
  run.comment = load_be<uint32_t>(bytes, 4);
  run.sector_number = load_be<uint64_t>(bytes, 8);
  run.sector_count = load_be<uint64_t>(bytes, 16);
  run.compressed_offset = load_be<uint64_t>(bytes, 24);
  run.compressed_length = load_be<uint64_t>(bytes, 32);
  return run;
}

std::expected<BlockTable, DmgError> parse_block_table(std::span<const uint8_t> bytes) {
  if (bytes.size() < kBlockTableHeaderSize)
    return std::unexpected(DmgError::invalid_block_map("mish data too short"));
  if (!std::equal(bytes.begin(), bytes.begin() + 4, "mish"))
    return std::unexpected(DmgError::invalid_block_map(
        fmt::format("invalid mish magic: [{}, {}, {}, {}]", bytes[0], bytes[1], bytes[2], bytes[3])));
  BlockTable t;
  t.version = load_be<uint32_t>(bytes, 4);
  t.first_sector = load_be<uint64_t>(bytes, 8);
  t.sector_count = load_be<uint64_t>(bytes, 16);
  t.data_offset = load_be<uint64_t>(bytes, 24);
  t.buffers_needed = load_be<uint32_t>(bytes, 32);
  t.block_descriptors = load_be<uint32_t>(bytes, 36);
  std::copy_n(bytes.begin() + 40, 24, t.reserved.begin());
  t.checksum = UdifChecksum::parse(bytes, 64);
  uint32_t run_count = load_be<uint32_t>(bytes, 200);
  // The count is untrusted: reserve only what the blob can hold.
  t.runs.reserve(std::min<size_t>(run_count, (bytes.size() - kBlockTableHeaderSize) / kRunSize));
  for (uint32_t i = 0; i < run_count; ++i) {
    size_t at = kBlockTableHeaderSize + kRunSize * size_t{i};
    if (bytes.size() - at < kRunSize) return std::unexpected(DmgError(IoError::unexpected_eof()));
    auto run = parse_block_run(bytes.subspan(at, kRunSize));
    if (!run) return std::unexpected(run.error());
    t.runs.push_back(*run);
  }
  return t;
}

}  // namespace tev::udif
