// The UDIF writer, in exactly the layouts the reader reads.
#include "tev/udif/writer.h"

#include <zlib.h>

#include <algorithm>

#include <fmt/format.h>

#include "tev/common/base64.h"
#include "tev/common/byte_cursor.h"
#include "layout.h"

namespace tev::udif {
namespace {

constexpr uint32_t kAttributes = 0x50;
constexpr uint64_t kMinChunk = 4096;

// A CRC-32 checksum block: 32 bits, stored in the first four value bytes.
UdifChecksum crc32_checksum(uint32_t type, uint32_t crc) {
  UdifChecksum c;
  c.type = type;
  c.size = 32;
  store_be(std::span<uint8_t, 128>(c.value), Field<uint32_t, 0>{}, crc);
  return c;
}

uint32_t crc_of(uint32_t crc, std::span<const uint8_t> bytes) {
  uLong c = crc;
  while (!bytes.empty()) {
    size_t n = std::min<size_t>(bytes.size(), 1u << 30);
    c = crc32(c, bytes.data(), static_cast<uInt>(n));
    bytes = bytes.subspan(n);
  }
  return static_cast<uint32_t>(c);
}

std::string xml_text(std::string_view text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      default: out += c;
    }
  }
  return out;
}

bool is_raw_lzfse_stream(std::span<const uint8_t> stream) {
  static constexpr uint8_t kRawMagic[4] = {'b', 'v', 'x', '-'};
  return stream.size() >= 4 && std::equal(kRawMagic, kRawMagic + 4, stream.begin());
}

bool all_zero(std::span<const uint8_t> bytes) {
  return std::all_of(bytes.begin(), bytes.end(), [](uint8_t b) { return b == 0; });
}

}  // namespace

uint64_t usable_chunk_size(uint64_t requested) {
  return std::max(requested, kMinChunk) / kSectorSize * kSectorSize;
}

std::expected<UdifWriter, DmgError> UdifWriter::create(const std::string& path, WriterOptions options) {
  auto sink = FileSink::create(path);
  if (!sink) return std::unexpected(DmgError(sink.error()));
  options.level = std::min(options.level, 9u);
  options.chunk_size = usable_chunk_size(options.chunk_size);
  return UdifWriter(std::move(*sink), options);
}

std::expected<void, DmgError> UdifWriter::write_partition(const std::string& name, std::span<const uint8_t> data) {
  Written p;
  p.name = name;
  p.id = static_cast<int32_t>(partitions_.size());
  p.attributes = kAttributes;
  p.first_sector = 0;
  for (const auto& q : partitions_) p.first_sector = std::max(p.first_sector, q.first_sector + q.sector_count);
  p.sector_count = (data.size() + kSectorSize - 1) / kSectorSize;

  // The partition checksum covers the data padded to whole sectors; the
  // padding is fed in as zeros rather than copied.
  uint32_t crc = 0;
  if (!options_.skip_checksums) {
    crc = crc_of(static_cast<uint32_t>(crc32(0, nullptr, 0)), data);
    static const uint8_t kZeros[kSectorSize] = {};
    size_t pad = static_cast<size_t>(p.sector_count * kSectorSize - data.size());
    crc = crc_of(crc, std::span(kZeros, pad));
  }
  p.checksum = crc;

  std::vector<uint8_t> padded;
  uint64_t sector = 0;
  for (size_t at = 0; at < data.size();) {
    size_t k = static_cast<size_t>(std::min<uint64_t>(options_.chunk_size, data.size() - at));
    uint64_t sectors = std::max<uint64_t>((k + kSectorSize - 1) / kSectorSize, 1);
    std::span<const uint8_t> chunk = data.subspan(at, k);
    if (k % kSectorSize != 0) {
      padded.assign(chunk.begin(), chunk.end());
      padded.resize(static_cast<size_t>(sectors * kSectorSize), 0);
      chunk = padded;
    }
    if (all_zero(chunk)) {
      p.runs.push_back({run_type::kZeroFill, 0, sector, sectors, 0, 0});
    } else {
      auto stored = encode_chunk(options_.compression, options_.level, chunk);
      if (!stored) return std::unexpected(stored.error());
      uint32_t type = run_type_of(options_.compression);
      if (options_.compression == CompressionKind::Lzfse && is_raw_lzfse_stream(*stored)) {
        // LZFSE could not shrink the chunk and wrapped it in a raw block: it
        // is stored as a raw run instead, 12 bytes smaller and readable by
        // every reader (7-Zip, for one, refuses raw blocks in LZFSE runs).
        stored->assign(chunk.begin(), chunk.end());
        type = run_type::kRaw;
      }
      if (auto r = sink_.write(*stored); !r) return std::unexpected(DmgError(r.error()));
      if (!options_.skip_checksums) data_crc_ = crc_of(data_crc_, *stored);
      p.runs.push_back({type, 0, sector, sectors, written_, stored->size()});
      written_ += stored->size();
    }
    at += k;
    sector += sectors;
  }
  p.runs.push_back({run_type::kTerminator, 0, sector, 0, 0, 0});
  partitions_.push_back(std::move(p));
  return {};
}

std::string UdifWriter::resource_map() const {
  std::string x =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
      "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
      "<plist version=\"1.0\">\n<dict>\n\t<key>resource-fork</key>\n\t<dict>\n\t\t<key>blkx</key>\n\t\t<array>\n";
  for (const auto& p : partitions_) {
    BlockTable table;
    table.version = 1;
    table.first_sector = p.first_sector;
    table.sector_count = p.sector_count;
    table.block_descriptors = static_cast<uint32_t>(p.runs.size());
    table.checksum = crc32_checksum(UdifChecksum::kCrc32, p.checksum);
    std::vector<uint8_t> t(kBlockTableHeaderSize + kRunSize * p.runs.size(), 0);
    std::copy_n("mish", 4, t.begin());
    std::span<uint8_t, kBlockTableHeaderSize> header(t.data(), kBlockTableHeaderSize);
    layout::mish_fields(table, layout::Writer<kBlockTableHeaderSize>{header});
    store_be(header, layout::kRunCount, static_cast<uint32_t>(p.runs.size()));
    for (size_t i = 0; i < p.runs.size(); ++i)
      layout::run_fields(p.runs[i], layout::Writer<kRunSize>{
                                        std::span<uint8_t, kRunSize>(t.data() + kBlockTableHeaderSize + kRunSize * i, kRunSize)});
    std::string name = xml_text(p.name);
    x += "\t\t\t<dict>\n";
    x += fmt::format("\t\t\t\t<key>Attributes</key>\n\t\t\t\t<string>0x{:04x}</string>\n", p.attributes);
    x += "\t\t\t\t<key>CFName</key>\n\t\t\t\t<string>" + name + "</string>\n";
    x += "\t\t\t\t<key>Data</key>\n\t\t\t\t<data>\n";
    std::string b64 = base64_encode(t);
    for (size_t i = 0; i < b64.size(); i += 64) x += "\t\t\t\t" + b64.substr(i, 64) + "\n";
    x += "\t\t\t\t</data>\n";
    x += fmt::format("\t\t\t\t<key>ID</key>\n\t\t\t\t<string>{}</string>\n", p.id);
    x += "\t\t\t\t<key>Name</key>\n\t\t\t\t<string>" + name + "</string>\n";
    x += "\t\t\t</dict>\n";
  }
  x += "\t\t</array>\n\t</dict>\n</dict>\n</plist>\n";
  return x;
}

std::vector<uint8_t> UdifWriter::trailer(uint64_t xml_length) const {
  uint32_t type = options_.skip_checksums ? 0 : UdifChecksum::kCrc32;
  uint32_t data_crc = 0, master = 0;
  uint64_t sectors = 0;
  if (!options_.skip_checksums) {
    data_crc = data_crc_;
    std::vector<uint8_t> words(4 * partitions_.size());
    for (size_t i = 0; i < partitions_.size(); ++i)
      store_be(std::span<uint8_t, 4>(words.data() + 4 * i, 4), Field<uint32_t, 0>{}, partitions_[i].checksum);
    master = crc_of(static_cast<uint32_t>(crc32(0, nullptr, 0)), words);
  }
  for (const auto& p : partitions_) sectors = std::max(sectors, p.first_sector + p.sector_count);
  KolyTrailer k;
  k.version = 4;
  k.header_size = kTrailerSize;
  k.flags = 1;
  k.data_fork_length = written_;
  k.segment_number = 1;
  k.segment_count = 1;
  k.data_checksum = crc32_checksum(type, data_crc);
  k.xml_offset = written_;  // the resource map follows the data fork
  k.xml_length = xml_length;
  k.master_checksum = crc32_checksum(type, master);
  k.image_variant = 1;
  k.sector_count = sectors;
  std::vector<uint8_t> t(kTrailerSize, 0);
  std::copy_n("koly", 4, t.begin());
  layout::koly_fields(k, layout::Writer<kTrailerSize>{std::span<uint8_t, kTrailerSize>(t.data(), kTrailerSize)});
  return t;
}

std::expected<void, DmgError> UdifWriter::finish() {
  std::string xml = resource_map();
  if (auto r = sink_.write({reinterpret_cast<const uint8_t*>(xml.data()), xml.size()}); !r)
    return std::unexpected(DmgError(r.error()));
  if (auto r = sink_.write(trailer(xml.size())); !r) return std::unexpected(DmgError(r.error()));
  if (auto r = sink_.finish(); !r) return std::unexpected(DmgError(r.error()));
  return {};
}

}  // namespace tev::udif
