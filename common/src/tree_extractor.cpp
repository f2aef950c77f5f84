#include "tev/common/tree_extractor.h"

namespace tev {
namespace {

TreeWriteError io_failure(IoError e, std::string_view rel) {
  return {TreeWriteError::Kind::Io, std::move(e), std::string(rel)};
}

}  // namespace

std::expected<TreeExtractor, IoError> TreeExtractor::open(const std::string& dest, const ExtractOptions& options,
                                                          uint64_t total_bytes) {
  auto writer = TreeWriter::open(dest);
  if (!writer) return std::unexpected(writer.error());
  return TreeExtractor(std::move(*writer), options, total_bytes);
}

FileAttributes TreeExtractor::attributes(const EntryAttributes& a) const {
  FileAttributes out;
  if (options_.modes) out.mode = static_cast<uint16_t>(a.mode & 0777);
  if (options_.times) out.mtime = a.mtime;
  return out;
}

std::expected<void, TreeWriteError> TreeExtractor::directory(std::string_view rel, const EntryAttributes& a) {
  if (auto r = writer_.make_dirs(rel); !r) return r;
  if (wants_attributes()) dir_attributes_.emplace_back(std::string(rel), attributes(a));
  ++stats_.dirs;
  return {};
}

std::expected<void, TreeWriteError> TreeExtractor::close_file(FileSink& sink, std::string_view rel,
                                                              const EntryAttributes& a, uint64_t bytes) {
  if (wants_attributes())
    if (auto r = sink.set_attributes(attributes(a)); !r) return std::unexpected(io_failure(r.error(), rel));
  if (auto r = sink.finish(); !r) return std::unexpected(io_failure(r.error(), rel));
  ++stats_.files;
  stats_.bytes += bytes;
  return {};
}

std::expected<void, TreeWriteError> TreeExtractor::file(std::string_view rel, std::span<const uint8_t> bytes,
                                                        const EntryAttributes& a) {
  auto sink = writer_.create_file(rel);
  if (!sink) return std::unexpected(sink.error());
  // One write from the caller's bytes: no buffer to fill per file.
  if (auto r = sink->write_through(bytes); !r) return std::unexpected(io_failure(r.error(), rel));
  if (!meter_.advance(bytes.size())) return std::unexpected(io_failure(cancelled(), rel));
  return close_file(*sink, rel, a, bytes.size());
}

std::expected<void, TreeWriteError> TreeExtractor::symlink(std::string_view rel, std::string_view target) {
  if (options_.symlinks == SymlinkPolicy::Skip) {
    ++stats_.symlinks_skipped;
    return {};
  }
  if (auto r = writer_.create_symlink(rel, target); !r) return r;
  ++stats_.symlinks;
  return {};
}

std::expected<void, TreeWriteError> TreeExtractor::finish() {
  for (auto it = dir_attributes_.rbegin(); it != dir_attributes_.rend(); ++it)
    if (auto r = writer_.set_dir_attributes(it->first, it->second); !r) return r;
  if (!meter_.finish()) return std::unexpected(io_failure(cancelled(), ""));
  return {};
}

}  // namespace tev
