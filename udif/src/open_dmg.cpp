// Opening an image: the trailer at the end of the file, the data fork
// checksum, the resource map, the master checksum.
#include <zlib.h>

#include <algorithm>

#include "tev/common/byte_cursor.h"
#include "tev/common/checked.h"
#include "tev/udif/image.h"
#include "layout.h"

namespace tev::udif {
namespace {

// The data fork is checksummed in pieces of this size, never read whole.
constexpr size_t kChecksumPiece = 1 << 20;

std::expected<uint32_t, DmgError> data_fork_crc(const ByteSource& source, const KolyTrailer& t) {
  if (!range_fits(t.data_fork_offset, t.data_fork_length, source.size()))
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

// An encrypted image wraps the whole UDIF file: version 2 starts with
// "encrcdsa", version 1 ends with "cdsaencr". Neither has a readable trailer.
constexpr const char* kEncryptedText = "encrypted disk image (its key is needed to read it)";

bool is_encrypted(const ByteSource& source) {
  uint8_t head[8];
  if (source.read_exact_at(0, head) && std::equal(head, head + 8, "encrcdsa")) return true;
  uint8_t tail[8];
  return source.size() >= 8 && source.read_exact_at(source.size() - 8, tail) && std::equal(tail, tail + 8, "cdsaencr");
}

}  // namespace

std::expected<DmgImage, DmgError> open_dmg(const std::string& path) {
  auto source = ByteSource::open_file(path);
  if (!source) return std::unexpected(DmgError(source.error()));
  return open_dmg(std::move(*source));
}

std::expected<DmgImage, DmgError> open_dmg(ByteSource source) {
  if (source.size() < kTrailerSize) return std::unexpected(DmgError(IoError::unexpected_eof()));
  uint8_t raw[layout::kTrailerFieldsSize];
  if (auto r = source.read_exact_at(source.size() - kTrailerSize, raw); !r)
    return std::unexpected(DmgError(r.error()));
  if (!std::equal(raw, raw + 4, "koly")) {
    if (is_encrypted(source)) return std::unexpected(DmgError::unsupported(kEncryptedText));
    return std::unexpected(DmgError::invalid_magic());
  }
  KolyTrailer trailer;
  layout::koly_fields(trailer, layout::Reader<layout::kTrailerFieldsSize>{*StructView<layout::kTrailerFieldsSize>::of(raw)});

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
