#include "tev/xar/xar_reader.h"

#include <algorithm>

#include <fmt/format.h>

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

// Collects a member's bytes as they are decoded.
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

std::expected<std::optional<uint64_t>, XarError> XarReader::provable_size(const TocEntry& entry) const {
  if (!entry.data) return uint64_t{0};
  const FileData& d = *entry.data;
  if (d.size > kMaxMemberSize)
    return std::unexpected(XarError::invalid_toc(
        fmt::format("member {} is too large to read into memory ({} bytes)", quoted_form(entry.path), d.size)));
  if (!size_is_provable(d)) return std::nullopt;
  // Only stored bytes that are really there prove anything; a member that
  // runs past the end goes the streaming way, which reports it.
  uint64_t total = source_.size();
  if (d.offset > UINT64_MAX - heap_start_ || heap_start_ + d.offset > total || d.length > total - heap_start_ - d.offset)
    return std::nullopt;
  return d.size;
}

std::expected<void, XarError> XarReader::read_entry_into(const TocEntry& entry, std::span<uint8_t> out) const {
  if (!entry.data) return {};
  return decode_member_into(source_, heap_start_, *entry.data, entry.path, out);
}

std::expected<Buffer, XarError> XarReader::read_entry_bytes(const TocEntry& entry) const {
  auto size = provable_size(entry);
  if (!size) return std::unexpected(size.error());
  Buffer out;
  if (*size) {
    out.resize(static_cast<size_t>(**size));
    if (auto r = read_entry_into(entry, out); !r) return std::unexpected(r.error());
    return out;
  }
  // bzip2 and xz can expand without bound: memory grows with what they yield.
  BufferSink sink(out);
  auto n = decode_member(source_, heap_start_, *entry.data, entry.path, sink);
  if (!n) return std::unexpected(n.error());
  return out;
}

}  // namespace tev::xar
