// Extraction of entries to a host directory. The path rule is this reader's
// own (no "..", root and "." dropped, no NUL); the writing itself goes
// through the tree writer, which never leaves the destination and never
// follows a link it meets.
#include <algorithm>

#include <fmt/format.h>

#include "tev/common/path.h"
#include "tev/common/text.h"
#include "tev/common/tree_extractor.h"
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

EntryAttributes attributes_of(const TocEntry& e) {
  return {static_cast<uint16_t>(e.mode.value_or(e.kind == EntryKind::Directory ? 0755 : 0644) & 07777),
          e.mtime.value_or(0)};
}

}  // namespace

std::expected<ExtractStats, XarError> XarReader::extract(std::string_view base_path, const std::string& dest,
                                                         const ExtractOptions& options) const {
  std::string_view base = strip_slashes(base_path);
  std::vector<std::pair<std::string, const TocEntry*>> selected;
  for (const auto& e : toc_.entries) {
    std::string_view p = e.path;
    if (base.empty() || p == base || (p.size() > base.size() && p.starts_with(base) && p[base.size()] == '/'))
      selected.emplace_back(order_key(e), &e);
  }
  std::stable_sort(selected.begin(), selected.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  uint64_t total = 0;
  for (const auto& [key, e] : selected)
    if (e->kind == EntryKind::File && e->data) total += e->data->size;
  auto out = TreeExtractor::open(dest, options, total);
  if (!out) return std::unexpected(XarError(out.error()));
  for (const auto& [key, e] : selected) {
    std::string_view rel = base.empty() ? std::string_view(e->path) : std::string_view(e->path).substr(
                                                                          std::min(e->path.size(), base.size() + 1));
    if (rel.empty()) {  // the base itself: a directory is not written, anything else under its own name
      if (e->kind == EntryKind::Directory) {
        out->count_base_directory();
        continue;
      }
      rel = std::string_view(e->path).substr(e->path.rfind('/') + 1);
    }
    auto clean = sanitize(rel);
    if (!clean) return std::unexpected(clean.error());
    auto failed = [&](const TreeWriteError& w) { return write_error(w, rel); };
    switch (e->kind) {
      case EntryKind::Directory:
        if (auto r = out->directory(*clean, attributes_of(*e)); !r) return std::unexpected(failed(r.error()));
        break;
      case EntryKind::Symlink:
        if (auto r = out->symlink(*clean, e->link.value_or("")); !r) return std::unexpected(failed(r.error()));
        break;
      case EntryKind::File:
        if (auto r = out->file_from<XarError>(
                *clean, attributes_of(*e), [&](ByteSink& sink) { return read_entry(*e, sink); }, failed);
            !r)
          return std::unexpected(r.error());
        break;
    }
  }
  if (auto r = out->finish(); !r) return std::unexpected(write_error(r.error(), base));
  return out->stats();
}

}  // namespace tev::xar
