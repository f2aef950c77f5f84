// Opening an image: the trailer at the end of the file, the data fork
// checksum, the resource map, the master checksum.
#include <zlib.h>

#include <algorithm>

#include "tev/common/byte_cursor.h"
#include "tev/udif/image.h"

namespace tev::udif {
namespace {

// The trailer's fields up to the sector count; the last 12 bytes are unused.
constexpr size_t kTrailerFieldsSize = 500;
// The data fork is checksummed in pieces of this size, never read whole.
constexpr size_t kChecksumPiece = 1 << 20;

KolyTrailer decode_trailer(std::span<const uint8_t> b) {
  KolyTrailer t;
  t.version = load_be<uint32_t>(b, 4);
  t.header_size = load_be<uint32_t>(b, 8);
  t.flags = load_be<uint32_t>(b, 12);
  t.running_data_fork_offset = load_be<uint64_t>(b, 16);
  t.data_fork_offset = load_be<uint64_t>(b, 24);
  t.data_fork_length = load_be<uint64_t>(b, 32);
  t.resource_fork_offset = load_be<uint64_t>(b, 40);
  t.resource_fork_length = load_be<uint64_t>(b, 48);
  t.segment_number = load_be<uint32_t>(b, 56);
  t.segment_count = load_be<uint32_t>(b, 60);
  std::copy_n(b.begin() + 64, 16, t.segment_id.begin());
  t.data_checksum = UdifChecksum::parse(b, 80);
  t.xml_offset = load_be<uint64_t>(b, 216);
  t.xml_length = load_be<uint64_t>(b, 224);
  // 120 reserved bytes follow the resource map's length.
  t.master_checksum = UdifChecksum::parse(b, 352);
  t.image_variant = load_be<uint32_t>(b, 488);
  t.sector_count = load_be<uint64_t>(b, 492);
  return t;
}

bool range_in_file(uint64_t offset, uint64_t length, uint64_t size) {
  return offset <= size && length <= size - offset;
}

std::expected<uint32_t, DmgError> data_fork_crc(const ByteSource& source, const KolyTrailer& t) {
  if (!range_in_file(t.data_fork_offset, t.data_fork_length, source.size()))
    return std::unexpected(DmgError(IoError::unexpected_eof()));
  std::vector<uint8_t> piece(static_cast<size_t>(std::min<uint64_t>(kChecksumPiece, t.data_fork_length)));
  uLong crc = crc32(0, nullptr, 0);
  for (uint64_t done = 0; done < t.data_fork_length;) {
    size_t n = static_cast<size_t>(std::min<uint64_t>(piece.size(), t.data_fork_length - done));
    if (auto r = source.read_exact_at(t.data_fork_offset + done, std::span(piece).first(n)); !r)
      return std::unexpected(DmgError(r.error()));
    crc = crc32(crc, piece.data(), static_cast<uInt>(n));
    done += n;
  }
  return static_cast<uint32_t>(crc);
}

uint32_t master_crc(const std::vector<PartitionEntry>& partitions) {
  std::vector<uint8_t> words;
  for (const auto& p : partitions) words.insert(words.end(), p.table.checksum.value.begin(), p.table.checksum.value.begin() + 4);
  return static_cast<uint32_t>(crc32(crc32(0, nullptr, 0), words.data(), static_cast<uInt>(words.size())));
}

}  // namespace

std::expected<DmgImage, DmgError> open_dmg(const std::string& path) {
  auto source = ByteSource::open_file(path);
  if (!source) return std::unexpected(DmgError(source.error()));
  return open_dmg(std::move(*source));
}

std::expected<DmgImage, DmgError> open_dmg(ByteSource source) {
  if (source.size() < kTrailerSize) return std::unexpected(DmgError(IoError::unexpected_eof()));
  uint8_t raw[kTrailerFieldsSize];
  if (auto r = source.read_exact_at(source.size() - kTrailerSize, raw); !r)
    return std::unexpected(DmgError(r.error()));
  if (!std::equal(raw, raw + 4, "koly")) return std::unexpected(DmgError::invalid_magic());
  KolyTrailer trailer = decode_trailer(raw);

  if (trailer.data_checksum.has_crc32()) {
    auto crc = data_fork_crc(source, trailer);
    if (!crc) return std::unexpected(crc.error());
    uint32_t expected = trailer.data_checksum.first_word();
    if (*crc != expected) return std::unexpected(DmgError::checksum_mismatch(expected, *crc));
  }

  auto xml = source.read_vec_at(trailer.xml_offset, trailer.xml_length);
  if (!xml) return std::unexpected(DmgError(xml.error()));
  auto partitions = parse_resource_map(*xml);
  if (!partitions) return std::unexpected(partitions.error());

  if (trailer.master_checksum.has_crc32()) {
    uint32_t expected = trailer.master_checksum.first_word();
    uint32_t actual = master_crc(*partitions);
    if (actual != expected) return std::unexpected(DmgError::checksum_mismatch(expected, actual));
  }
  return DmgImage{std::move(source), trailer, std::move(*partitions)};
}

}  // namespace tev::udif
