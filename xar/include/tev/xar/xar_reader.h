#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tev/common/buffer.h"
#include "tev/common/byte_sink.h"
#include "tev/common/byte_source.h"
#include "tev/common/extract_stats.h"
#include "tev/common/tree_extractor.h"
#include "tev/xar/toc.h"
#include "tev/xar/xar_error.h"

namespace tev::xar {

// The fixed header at offset 0, big-endian.
struct XarHeader {
  uint16_t header_size = 0;
  uint16_t version = 0;
  uint64_t toc_length_compressed = 0;
  uint64_t toc_length_uncompressed = 0;
  uint32_t checksum_algorithm = 0;
};

// What the TOC says about its signatures; reported, never verified.
struct SignatureInfo {
  bool is_signed = false;
  std::vector<std::string> styles;        // "RSA", "CMS", in TOC order
  std::vector<std::string> common_names;  // subjects of the first chain, signer first
};

// The decoded TOC is held in memory; a reader this size is refused.
inline constexpr uint64_t kMaxTocSize = uint64_t{256} << 20;
// A member read into memory may decode to at most this many bytes.
inline constexpr uint64_t kMaxMemberSize = uint64_t{4} << 30;

// A XAR archive: the header, the table of contents with the entry tree, and
// reads of members from the heap. Reads are positioned, so a reader has no
// hidden state and its queries are all const.
class XarReader {
 public:
  // Reads the header and the TOC, verifying the TOC's own checksum.
  static std::expected<XarReader, XarError> open(ByteSource source);

  XarReader(XarReader&&) noexcept = default;
  XarReader& operator=(XarReader&&) noexcept = default;
  ~XarReader() = default;

  const XarHeader& header() const { return header_; }
  uint64_t heap_start() const { return heap_start_; }
  const std::vector<TocEntry>& entries() const { return toc_.entries; }
  // The first entry whose path equals `path` without its leading and
  // trailing "/"; nothing else is normalised.
  const TocEntry* find_entry(std::string_view path) const;
  SignatureInfo signature() const;

  // The member's decoded bytes into a sink; 0 for an entry without data.
  std::expected<uint64_t, XarError> read_entry(const TocEntry& entry, ByteSink& sink) const;
  std::expected<Buffer, XarError> read_entry_bytes(const TocEntry& entry) const;
  // For reading straight into a buffer the caller allocates: the decoded
  // size when the stored bytes prove it (stored and deflate members within
  // kMaxMemberSize), nullopt when the member must be read into a Buffer.
  std::expected<std::optional<uint64_t>, XarError> provable_size(const TocEntry& entry) const;
  // Decodes into exactly provable_size() bytes.
  std::expected<void, XarError> read_entry_into(const TocEntry& entry, std::span<uint8_t> out) const;

  // Writes the entries at or below `base_path` under `dest` (the base itself
  // stripped), directories before their contents. Symlinks are counted, not
  // created; hard links are written as copies of their target's content.
  std::expected<ExtractStats, XarError> extract(std::string_view base_path, const std::string& dest,
                                                const ExtractOptions& options = {}) const;

 private:
  XarReader(ByteSource source, XarHeader header, Toc toc, uint64_t heap_start)
      : source_(std::move(source)), header_(header), toc_(std::move(toc)), heap_start_(heap_start) {}

  ByteSource source_;
  XarHeader header_;
  Toc toc_;
  uint64_t heap_start_;
};

}  // namespace tev::xar
