#pragma once

#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <vector>

#include "tev/common/byte_sink.h"
#include "tev/udif/codecs.h"
#include "tev/udif/image.h"

namespace tev::udif {

struct WriterOptions {
  CompressionKind compression = CompressionKind::Zlib;
  uint32_t level = 6;                 // 0 to 9
  uint64_t chunk_size = 1048576;      // a multiple of 512, at least 4096
  bool skip_checksums = false;
};

// Chunk sizes the writer can use: at least 4096 and a whole number of
// sectors, so that every chunk's padded sectors line up with its bytes.
uint64_t usable_chunk_size(uint64_t requested);

// Writes a UDIF image: the partitions' chunks as the data fork, then the XML
// resource map, then the trailer.
class UdifWriter {
 public:
  static std::expected<UdifWriter, DmgError> create(const std::string& path, WriterOptions options = {});

  std::expected<void, DmgError> write_partition(const std::string& name, std::span<const uint8_t> data);
  std::expected<void, DmgError> finish();

 private:
  struct Written {
    std::string name;
    int32_t id;
    uint32_t attributes;
    uint64_t first_sector;
    uint64_t sector_count;
    uint32_t checksum;
    std::vector<BlockRun> runs;
  };

  UdifWriter(FileSink sink, WriterOptions options) : sink_(std::move(sink)), options_(options) {}
  std::string resource_map() const;
  std::vector<uint8_t> trailer(uint64_t xml_length) const;

  FileSink sink_;
  WriterOptions options_;
  std::vector<Written> partitions_;
  uint32_t data_crc_ = 0;
  uint64_t written_ = 0;
};

}  // namespace tev::udif
