#include "tev/xar/xar_reader.h"

#include <algorithm>

#include <fmt/format.h>

#include "codecs.h"
#include "header.h"
#include "heap.h"
#include "signature.h"
#include "tev/common/text.h"
#include "toc_reader.h"

namespace tev::xar {
namespace {

std::string_view strip_slashes(std::string_view path) {
  while (!path.empty() && path.front() == '/') path.remove_prefix(1);
  while (!path.empty() && path.back() == '/') path.remove_suffix(1);
  return path;
}

// Collects a member's bytes, reserving what the TOC declares only when the
// stored bytes prove it can be that large.
class BufferSink final : public ByteSink {
 public:
  explicit BufferSink(Buffer& out) : out_(out) {}
  std::expected<void, IoError> write(std::span<const uint8_t> bytes) override {
    out_.insert(out_.end(), bytes.begin(), bytes.end());
    return {};
  }

 private:
  Buffer& out_;
};

// The largest size the stored bytes can honestly decode to, for reserving.
uint64_t provable_size(const FileData& d) {
  if (d.encoding == "application/octet-stream") return d.length;
  auto codec = codec_for(d.encoding);
  if (codec && codec->label != "bzip2" && codec->label != "xz" && codec->label != "lzma")
    return d.length > UINT64_MAX / kMaxDeflateRatio ? UINT64_MAX : d.length * kMaxDeflateRatio + 64;
  return 0;
}

}  // namespace

std::expected<XarReader, XarError> XarReader::open(ByteSource source) {
  auto header = read_header(source);
  if (!header) return std::unexpected(header.error());
  auto toc = read_toc(source, *header);
  if (!toc) return std::unexpected(toc.error());
  return XarReader(std::move(source), *header, std::move(toc->toc), toc->heap_start);
}

const TocEntry* XarReader::find_entry(std::string_view path) const {
  std::string_view wanted = strip_slashes(path);
  for (const auto& e : toc_.entries)
    if (e.path == wanted) return &e;
  return nullptr;
}

SignatureInfo XarReader::signature() const {
  SignatureInfo info;
  info.is_signed = !toc_.signatures.empty();
  bool names_taken = false;
  for (const auto& s : toc_.signatures) {
    info.styles.push_back(s.style);
    if (names_taken || s.certificates.empty()) continue;
    names_taken = true;
    for (const auto& der : s.certificates)
      if (auto name = certificate_common_name(der)) info.common_names.push_back(std::move(*name));
  }
  return info;
}

std::expected<uint64_t, XarError> XarReader::read_entry(const TocEntry& entry, ByteSink& sink) const {
  if (!entry.data) return 0;
  return decode_member(source_, heap_start_, *entry.data, entry.path, sink);
}

std::expected<Buffer, XarError> XarReader::read_entry_bytes(const TocEntry& entry) const {
  Buffer out;
  if (!entry.data) return out;
  const FileData& d = *entry.data;
  if (d.size > kMaxMemberSize)
    return std::unexpected(XarError::invalid_toc(
        fmt::format("member {} is too large to read into memory ({} bytes)", quoted_form(entry.path), d.size)));
  out.reserve(static_cast<size_t>(std::min(d.size, provable_size(d))));
  BufferSink sink(out);
  auto n = decode_member(source_, heap_start_, d, entry.path, sink);
  if (!n) return std::unexpected(n.error());
  return out;
}

}  // namespace tev::xar
