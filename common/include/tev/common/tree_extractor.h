#pragma once

#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "tev/common/byte_sink.h"
#include "tev/common/extract_stats.h"
#include "tev/common/progress.h"
#include "tev/common/tree_writer.h"

namespace tev {

enum class SymlinkPolicy { Skip, Create };

// What extraction carries over besides file contents. By default nothing:
// no permissions, no times, no links.
struct ExtractOptions {
  bool modes = false;  // permission bits (never setuid, setgid or sticky)
  bool times = false;  // modification times
  SymlinkPolicy symlinks = SymlinkPolicy::Skip;
  const ProgressFn* progress = nullptr;  // told of the file bytes written
};

// An entry's permission bits and modification time (seconds since 1970), for
// the options that carry them over.
struct EntryAttributes {
  uint16_t mode = 0;
  int64_t mtime = 0;
};

// The writing half every extractor shares. Entries come in the archive's
// order with relative paths that the format's own rules have checked; this
// writes them through one TreeWriter, applies the options and counts them.
// A progress callback that asks to stop makes the next write fail with
// `cancelled()`, as an Io error.
class TreeExtractor {
 public:
  // Creates the destination; `total_bytes` is what the files selected hold.
  static std::expected<TreeExtractor, IoError> open(const std::string& dest, const ExtractOptions& options,
                                                    uint64_t total_bytes);

  // Whether the caller need find each entry's attributes at all.
  bool wants_attributes() const { return options_.modes || options_.times; }
  // Whether symlink() needs the link's target.
  bool creates_symlinks() const { return options_.symlinks == SymlinkPolicy::Create; }

  std::expected<void, TreeWriteError> directory(std::string_view rel, const EntryAttributes& a = {});
  // Directories an entry needs that the archive does not list: created, not
  // counted, given no attributes.
  std::expected<void, TreeWriteError> directory_chain(std::string_view rel) { return writer_.make_dirs(rel); }
  std::expected<void, TreeWriteError> file(std::string_view rel, std::span<const uint8_t> bytes,
                                           const EntryAttributes& a = {});
  // A file whose contents `fill(ByteSink&)` writes, returning the bytes
  // written or its own error E; the writer's errors become E by `to_error`.
  template <class E, class Fill, class ToError>
  std::expected<void, E> file_from(std::string_view rel, const EntryAttributes& a, Fill&& fill, ToError&& to_error);
  // Created as stored, or counted as skipped, as the options say.
  std::expected<void, TreeWriteError> symlink(std::string_view rel, std::string_view target);
  // An entry that is not written: the base of a partial extraction (a
  // directory), or a link left out.
  void count_base_directory() { ++stats_.dirs; }
  void count_skipped() { ++stats_.symlinks_skipped; }

  // Gives directories their attributes, deepest first (writing into a
  // directory changes its time, and a read-only one could not be filled),
  // and makes the last progress report.
  std::expected<void, TreeWriteError> finish();
  const ExtractStats& stats() const { return stats_; }

 private:
  TreeExtractor(TreeWriter writer, const ExtractOptions& options, uint64_t total)
      : writer_(std::move(writer)), options_(options), meter_(options.progress, total) {}
  FileAttributes attributes(const EntryAttributes& a) const;
  std::expected<void, TreeWriteError> close_file(FileSink& sink, std::string_view rel, const EntryAttributes& a,
                                                 uint64_t bytes);

  TreeWriter writer_;
  ExtractOptions options_;
  ProgressMeter meter_;
  ExtractStats stats_;
  std::vector<std::pair<std::string, FileAttributes>> dir_attributes_;
};

template <class E, class Fill, class ToError>
std::expected<void, E> TreeExtractor::file_from(std::string_view rel, const EntryAttributes& a, Fill&& fill,
                                                ToError&& to_error) {
  auto sink = writer_.create_file(rel);
  if (!sink) return std::unexpected(to_error(sink.error()));
  MeteredSink metered(*sink, meter_);
  auto written = fill(static_cast<ByteSink&>(metered));
  if (!written) return std::unexpected(written.error());
  if (auto r = close_file(*sink, rel, a, *written); !r) return std::unexpected(to_error(r.error()));
  return {};
}

}  // namespace tev
