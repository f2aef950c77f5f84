// Extraction of a file system's tree below a host directory.
#include "tev/pipeline/extract_tree.h"

#include <fmt/format.h>

#include <utility>
#include <vector>

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

// Each entry written with what the options want of it.
class FilesystemExtraction {
 public:
  FilesystemExtraction(const OpenedFilesystem& fs, TreeExtractor out) : fs_(fs), out_(std::move(out)) {}

  std::expected<void, PipelineError> write(const Selected& s) {
    EntryAttributes a;
    if (out_.wants_attributes()) {
      auto st = fs_.stat(s.entry->path);
      if (!st) return std::unexpected(st.error());
      a = {st->mode, unix_mtime(*st)};
    }
    switch (s.entry->kind) {
      case fs::EntryKind::Directory:
        if (auto r = out_.directory(s.rel, a); !r) return std::unexpected(write_error(r.error()));
        return {};
      case fs::EntryKind::File: return file(s, a);
      case fs::EntryKind::Symlink: return symlink(s);
    }
    return {};
  }

  std::expected<ExtractStats, PipelineError> finish() {
    if (auto r = out_.finish(); !r) return std::unexpected(write_error(r.error()));
    return out_.stats();
  }

 private:
  std::expected<void, PipelineError> file(const Selected& s, const EntryAttributes& a) {
    auto plan = fs_.plan_file(s.entry->path);
    if (!plan) return std::unexpected(plan.error());
    return out_.file_from<PipelineError>(
        s.rel, a, [&](ByteSink& sink) { return fs_.read_planned(*plan, sink); }, &write_error);
  }

  std::expected<void, PipelineError> symlink(const Selected& s) {
    std::string target;
    if (out_.creates_symlinks()) {
      auto bytes = fs_.read_file(s.entry->path);
      if (!bytes) return std::unexpected(bytes.error());
      target.assign(bytes->begin(), bytes->end());
    }
    if (auto r = out_.symlink(s.rel, target); !r) return std::unexpected(write_error(r.error()));
    return {};
  }

  const OpenedFilesystem& fs_;
  TreeExtractor out_;
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

  auto out = TreeExtractor::open(dest, options, total);
  if (!out) return std::unexpected(PipelineError(out.error()));
  for (uint64_t i = 0; i < base_dirs; ++i) out->count_base_directory();
  FilesystemExtraction extraction(fs, std::move(*out));
  for (auto& s : selected) {
    auto safe = sanitize_path(s.rel);
    if (!safe) return std::unexpected(safe.error());
    s.rel = std::move(*safe);
    if (auto r = extraction.write(s); !r) return std::unexpected(r.error());
  }
  return extraction.finish();
}

}  // namespace tev::pipeline
