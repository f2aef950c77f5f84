// Extraction of a file system's tree below a host directory.
#include "tev/pipeline/extract_tree.h"

#include <fmt/format.h>

#include <utility>
#include <vector>

#include "tev/common/tree_writer.h"
#include "tev/pipeline/path_rules.h"

namespace tev::pipeline {
namespace {

// HFS+ counts seconds from 1904, APFS nanoseconds from 1970.
constexpr int64_t kHfsEpochOffset = 2082844800;

int64_t unix_mtime(const fs::FileStat& st) {
  if (st.fs_type == fs::FsType::HfsPlus) return st.modify_time - kHfsEpochOffset;
  return st.modify_time / 1000000000;
}

std::string_view first_component(std::string_view path) {
  size_t slash = path.find('/');
  return slash == std::string_view::npos ? path : path.substr(0, slash);
}

PipelineError write_error(const TreeWriteError& e) {
  if (e.kind == TreeWriteError::Kind::Io) return PipelineError(e.io);
  if (e.kind == TreeWriteError::Kind::LinkInPath)
    return PipelineError(IoError::other(fmt::format("a symbolic link stands in the way of {}", e.path)));
  return PipelineError::invalid_path(fmt::format("path traversal detected: {}", e.path));
}

struct Selected {
  const fs::WalkEntry* entry;
  std::string rel;  // below dest
};

// The base as the caller gave it, reduced to a prefix of walk paths (without
// the leading "/"); empty for everything.
std::expected<std::string, PipelineError> base_prefix(const OpenedFilesystem& fs, std::string_view base_path) {
  std::string_view base = base_path;
  while (!base.empty() && base.front() == '/') base.remove_prefix(1);
  while (!base.empty() && base.back() == '/') base.remove_suffix(1);
  if (base.empty()) return std::string();
  // Spelt as stored, so that a case-folding volume selects what it resolves.
  auto stored = fs.stored_path(base);
  if (!stored) {
    auto exists = fs.exists(base);
    if (!exists) return std::unexpected(exists.error());
    return std::string(base);  // selects nothing
  }
  return stored->substr(1);
}

class TreeExtraction {
 public:
  TreeExtraction(const OpenedFilesystem& fs, TreeWriter writer, const ExtractOptions& options, uint64_t total)
      : fs_(fs), writer_(std::move(writer)), options_(options), meter_(options.progress, total) {}

  std::expected<void, PipelineError> write(const Selected& s) {
    switch (s.entry->kind) {
      case fs::EntryKind::Directory: return directory(s);
      case fs::EntryKind::File: return file(s);
      case fs::EntryKind::Symlink: return symlink(s);
    }
    return {};
  }

  // Directory attributes go on last, deepest first: writing into a
  // directory changes its time, and a read-only one could not be filled.
  std::expected<void, PipelineError> finish() {
    for (auto it = dir_attributes_.rbegin(); it != dir_attributes_.rend(); ++it)
      if (auto r = writer_.set_dir_attributes(it->first, it->second); !r) return std::unexpected(write_error(r.error()));
    if (!meter_.finish()) return std::unexpected(PipelineError(cancelled()));
    return {};
  }

  const ExtractStats& stats() const { return stats_; }

 private:
  std::expected<FileAttributes, PipelineError> attributes_of(const fs::WalkEntry& e) {
    FileAttributes a;
    if (!options_.modes && !options_.times) return a;
    auto st = fs_.stat(e.path);
    if (!st) return std::unexpected(st.error());
    if (options_.modes) a.mode = static_cast<uint16_t>(st->mode & 0777);
    if (options_.times) a.mtime = unix_mtime(*st);
    return a;
  }

  std::expected<void, PipelineError> directory(const Selected& s) {
    if (auto r = writer_.make_dirs(s.rel); !r) return std::unexpected(write_error(r.error()));
    auto a = attributes_of(*s.entry);
    if (!a) return std::unexpected(a.error());
    if (!a->empty()) dir_attributes_.emplace_back(s.rel, *a);
    ++stats_.dirs;
    return {};
  }

  std::expected<void, PipelineError> file(const Selected& s) {
    auto plan = fs_.plan_file(s.entry->path);
    if (!plan) return std::unexpected(plan.error());
    auto a = attributes_of(*s.entry);
    if (!a) return std::unexpected(a.error());
    auto sink = writer_.create_file(s.rel);
    if (!sink) return std::unexpected(write_error(sink.error()));
    MeteredSink metered(*sink, meter_);
    auto copied = fs_.read_planned(*plan, metered);
    if (!copied) return std::unexpected(copied.error());
    if (!a->empty())
      if (auto r = sink->set_attributes(*a); !r) return std::unexpected(PipelineError(r.error()));
    if (auto r = sink->finish(); !r) return std::unexpected(PipelineError(r.error()));
    ++stats_.files;
    stats_.bytes += *copied;
    return {};
  }

  std::expected<void, PipelineError> symlink(const Selected& s) {
    if (options_.symlinks == SymlinkPolicy::Skip) {
      ++stats_.symlinks_skipped;
      return {};
    }
    auto target = fs_.read_file(s.entry->path);
    if (!target) return std::unexpected(target.error());
    std::string_view text(reinterpret_cast<const char*>(target->data()), target->size());
    if (auto r = writer_.create_symlink(s.rel, text); !r) return std::unexpected(write_error(r.error()));
    return {};
  }

  const OpenedFilesystem& fs_;
  TreeWriter writer_;
  const ExtractOptions& options_;
  ProgressMeter meter_;
  ExtractStats stats_;
  std::vector<std::pair<std::string, FileAttributes>> dir_attributes_;
};

}  // namespace

std::expected<ExtractStats, PipelineError> extract_tree(const OpenedFilesystem& fs, std::string_view base_path,
                                                        const std::string& dest, const ExtractOptions& options) {
  auto prefix = base_prefix(fs, base_path);
  if (!prefix) return std::unexpected(prefix.error());
  auto entries = fs.walk();
  if (!entries) return std::unexpected(entries.error());

  // Selection: everything below the base, the base's own prefix stripped.
  // The base itself is a directory to count, or a file or link written
  // under its own name.
  const bool all = prefix->empty();
  std::vector<Selected> selected;
  uint64_t total = 0;
  uint64_t base_dirs = 0;
  for (const auto& e : *entries) {
    std::string_view path = e.path;
    if (!path.empty() && path.front() == '/') path.remove_prefix(1);
    if (path.empty()) continue;
    std::string_view top = first_component(path);
    if (fs.is_hidden_metadata(top) && (all || first_component(*prefix) != top)) continue;
    std::string rel;
    if (all) {
      rel = path;
    } else if (path == *prefix) {
      if (e.kind == fs::EntryKind::Directory) {
        ++base_dirs;
        continue;
      }
      rel = e.name;
    } else if (auto below = strip_base_prefix(path, *prefix); below && !below->empty()) {
      rel = std::move(*below);
    } else {
      continue;
    }
    if (e.kind == fs::EntryKind::File) total += e.size;
    selected.push_back({&e, std::move(rel)});
  }
  if (selected.empty() && base_dirs == 0 && !all) return std::unexpected(PipelineError::no_entries_under(std::string(base_path)));

  auto writer = TreeWriter::open(dest);
  if (!writer) return std::unexpected(PipelineError(writer.error()));
  TreeExtraction extraction(fs, std::move(*writer), options, total);
  for (auto& s : selected) {
    auto safe = sanitize_path(s.rel);
    if (!safe) return std::unexpected(safe.error());
    s.rel = std::move(*safe);
    if (auto r = extraction.write(s); !r) return std::unexpected(r.error());
  }
  if (auto r = extraction.finish(); !r) return std::unexpected(r.error());
  ExtractStats stats = extraction.stats();
  stats.dirs += base_dirs;
  return stats;
}

}  // namespace tev::pipeline
