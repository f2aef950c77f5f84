// Extraction of entries to a host directory. The path rule is this reader's
// own (no "..", root and "." dropped, no NUL); the writing itself goes
// through the tree writer, which never leaves the destination and never
// follows a link it meets.
#include <algorithm>

#include <fmt/format.h>

#include "tev/common/path.h"
#include "tev/common/text.h"
#include "tev/common/tree_writer.h"
#include "tev/xar/xar_reader.h"

namespace tev::xar {
namespace {

std::string_view strip_slashes(std::string_view path) {
  while (!path.empty() && path.front() == '/') path.remove_prefix(1);
  while (!path.empty() && path.back() == '/') path.remove_suffix(1);
  return path;
}

std::expected<std::string, XarError> sanitize(std::string_view rel) {
  if (rel.find('\0') != std::string_view::npos)
    return std::unexpected(XarError::invalid_path("path contains a NUL byte: " + quoted_form(rel)));
  std::string out;
  for (std::string_view part : split_path(rel)) {
    if (part == "..") return std::unexpected(XarError::invalid_path(fmt::format("path traversal detected: {}", rel)));
    if (part == ".") continue;
    if (!out.empty()) out += '/';
    out += part;
  }
  if (out.empty()) return std::unexpected(XarError::invalid_path(fmt::format("empty path after sanitization: {}", rel)));
  return out;
}

// Sorts directories and the subtrees below them before the plain files of
// each level, and every directory before its contents.
std::string order_key(const TocEntry& e) {
  std::string key;
  auto parts = split_path(e.path);
  for (size_t i = 0; i < parts.size(); ++i) {
    if (!key.empty()) key += '/';
    key += (i + 1 == parts.size() && e.kind != EntryKind::Directory) ? '\x01' : '\x00';
    key += parts[i];
  }
  return key;
}

XarError write_error(const TreeWriteError& e, std::string_view rel) {
  if (e.kind == TreeWriteError::Kind::Io) return XarError(e.io);
  return XarError::invalid_path(fmt::format("path traversal detected: {}", rel));
}

}  // namespace

std::expected<ExtractStats, XarError> XarReader::extract(std::string_view base_path, const std::string& dest) const {
  std::string_view base = strip_slashes(base_path);
  std::vector<std::pair<std::string, const TocEntry*>> selected;
  for (const auto& e : toc_.entries) {
    std::string_view p = e.path;
    if (base.empty() || p == base || (p.size() > base.size() && p.starts_with(base) && p[base.size()] == '/'))
      selected.emplace_back(order_key(e), &e);
  }
  std::stable_sort(selected.begin(), selected.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  auto writer = TreeWriter::open(dest);
  if (!writer) return std::unexpected(XarError(writer.error()));
  ExtractStats stats;
  for (const auto& [key, e] : selected) {
    std::string_view rel = base.empty() ? std::string_view(e->path) : std::string_view(e->path).substr(
                                                                          std::min(e->path.size(), base.size() + 1));
    if (rel.empty()) {
      if (e->kind == EntryKind::Directory) ++stats.dirs;
      continue;
    }
    auto clean = sanitize(rel);
    if (!clean) return std::unexpected(clean.error());
    switch (e->kind) {
      case EntryKind::Directory:
        if (auto r = writer->make_dirs(*clean); !r) return std::unexpected(write_error(r.error(), rel));
        ++stats.dirs;
        break;
      case EntryKind::Symlink: ++stats.symlinks_skipped; break;
      case EntryKind::File: {
        auto sink = writer->create_file(*clean);
        if (!sink) return std::unexpected(write_error(sink.error(), rel));
        auto n = read_entry(*e, *sink);
        if (!n) return std::unexpected(n.error());
        if (auto r = sink->finish(); !r) return std::unexpected(XarError(r.error()));
        ++stats.files;
        stats.bytes += *n;
        break;
      }
    }
  }
  return stats;
}

}  // namespace tev::xar
