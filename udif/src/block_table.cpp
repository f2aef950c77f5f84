// The "mish" block table and its 40-byte runs, big-endian throughout.
#include <algorithm>

#include <fmt/format.h>

#include "tev/common/byte_cursor.h"
#include "tev/udif/image.h"
#include "layout.h"

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

uint32_t UdifChecksum::first_word() const {
  return StructView<128>::of(value)->be<uint32_t, 0>();
}

std::expected<BlockRun, DmgError> parse_block_run(std::span<const uint8_t> bytes) {
  auto view = StructView<kRunSize>::of(bytes);
  if (!view) return std::unexpected(DmgError::invalid_block_map("block run too short"));
  BlockRun run;
  layout::run_fields(run, layout::Reader<kRunSize>{*view});
  if (!is_known_run_type(run.type)) return std::unexpected(DmgError::unsupported_compression(run.type));
  return run;
}

std::expected<BlockTable, DmgError> parse_block_table(std::span<const uint8_t> bytes) {
  auto view = StructView<kBlockTableHeaderSize>::of(bytes);
  if (!view) return std::unexpected(DmgError::invalid_block_map("mish data too short"));
  if (!std::equal(bytes.begin(), bytes.begin() + 4, "mish"))
    return std::unexpected(DmgError::invalid_block_map(
        fmt::format("invalid mish magic: [{}, {}, {}, {}]", bytes[0], bytes[1], bytes[2], bytes[3])));
  BlockTable t;
  layout::mish_fields(t, layout::Reader<kBlockTableHeaderSize>{*view});
  uint32_t run_count = view->be(layout::kRunCount);
  // The count is untrusted: reserve only what the blob can hold.
  t.runs.reserve(std::min<size_t>(run_count, (bytes.size() - kBlockTableHeaderSize) / kRunSize));
  for (uint32_t i = 0; i < run_count; ++i) {
    size_t at = kBlockTableHeaderSize + kRunSize * size_t{i};
    if (bytes.size() - at < kRunSize)
      return std::unexpected(DmgError::invalid_block_map(
          fmt::format("block table declares {} runs but holds only {}", run_count, i)));
    auto run = parse_block_run(bytes.subspan(at, kRunSize));
    if (!run) return std::unexpected(run.error());
    t.runs.push_back(*run);
  }
  return t;
}

}  // namespace tev::udif
