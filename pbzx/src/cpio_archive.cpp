// Listing, looking up and extracting the entries of a CPIO archive.
#include <map>
#include <tuple>

#include <fmt/format.h>

#include "tev/common/path.h"
#include "tev/common/text.h"
#include "tev/common/tree_extractor.h"
#include "tev/pbzx/cpio.h"

namespace tev::pbzx {
namespace {

constexpr std::string_view kTrailer = "TRAILER!!!";

// Walks the entries up to the trailer: f(header, reader) must read or skip
// the entry's data, and returns false to stop early.
template <class F>
std::expected<void, PbzxError> for_each_entry(std::span<const uint8_t> archive, F&& f) {
  CpioReader reader(archive);
  for (;;) {
    auto h = reader.next_entry();
    if (!h) return std::unexpected(h.error());
    // The trailer is known by its name alone: whatever type and size its
    // header declares, nothing after its name is read.
    if (!*h || (*h)->name == kTrailer) return {};
    auto r = f(**h, reader);
    if (!r) return std::unexpected(r.error());
    if (!*r) return {};
  }
}

std::string_view text_of(std::span<const uint8_t> bytes) {
  return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

// In "070701"/"070702" archives the data of a hard-linked file sits on the
// last of its links; the earlier ones are stored empty. Which data belongs to
// each link group, by (device, inode).
using LinkKey = std::tuple<uint32_t, uint32_t, uint32_t>;

// A damaged archive ends the scan quietly; the extraction itself reports the
// damage when it gets there, after writing what comes before.
struct LinkGroups {
  std::map<LinkKey, std::span<const uint8_t>> data;
  uint64_t file_bytes = 0;  // what the regular files hold, for progress
};

LinkGroups link_group_data(std::span<const uint8_t> archive) {
  LinkGroups groups;
  std::vector<LinkKey> stored_empty;  // earlier links, written with the group's data
  (void)for_each_entry(archive, [&](const CpioHeader& h, CpioReader& reader) -> std::expected<bool, PbzxError> {
    auto data = reader.read_data(h.filesize);
    if (!data) return std::unexpected(data.error());
    if (!h.is_file()) return true;
    groups.file_bytes += h.filesize;
    if (stores_link_data_once(h.format) && h.nlink > 1) {
      if (h.filesize > 0)
        groups.data[{h.devmajor, h.devminor, h.ino}] = *data;
      else
        stored_empty.push_back({h.devmajor, h.devminor, h.ino});
    }
    return true;
  });
  for (const auto& key : stored_empty)
    if (auto it = groups.data.find(key); it != groups.data.end()) groups.file_bytes += it->second.size();
  return groups;
}

PbzxError tree_error(const TreeWriteError& e, std::string_view rel) {
  if (e.kind == TreeWriteError::Kind::Io) return PbzxError(e.io);
  return PbzxError::invalid_path(fmt::format("Path traversal detected: {}", rel));
}

// The relative path as the tree writer takes it: no "." or empty components.
std::string plain_components(std::string_view rel) {
  std::string out;
  for (std::string_view part : split_path(rel)) {
    if (part == ".") continue;
    if (!out.empty()) out += '/';
    out += part;
  }
  return out;
}

std::string parent_of(std::string_view path) {
  size_t slash = path.rfind('/');
  return slash == std::string_view::npos ? std::string() : std::string(path.substr(0, slash));
}

}  // namespace

std::string normalize_entry_path(std::string_view p) {
  if (p.starts_with("./")) {
    p.remove_prefix(2);
    if (p.empty()) return {};
  } else if (p.empty()) {
    return {};
  }
  if (p.starts_with("/")) p.remove_prefix(1);
  if (p == ".") return {};
  return std::string(p);
}

std::expected<std::string, PbzxError> validate_relative_path(std::string_view p) {
  while (p.starts_with("/")) p.remove_prefix(1);
  for (std::string_view part : split_path(p))
    if (part == "..") return std::unexpected(PbzxError::invalid_path(fmt::format("Path traversal detected: {}", p)));
  return std::string(p);
}

std::expected<std::vector<CpioEntry>, PbzxError> list_entries(std::span<const uint8_t> archive) {
  std::vector<CpioEntry> entries;
  auto r = for_each_entry(archive, [&](const CpioHeader& h, CpioReader& reader) -> std::expected<bool, PbzxError> {
    CpioEntry e{h.name, h.filesize, h.mode, h.mtime, h.uid, h.gid, h.is_dir(), h.is_symlink(), std::nullopt};
    if (h.is_symlink() && h.filesize > 0) {
      auto data = reader.read_data(h.filesize);
      if (!data) return std::unexpected(data.error());
      e.link_target = std::string(text_of(*data));  // bytes, like the names
    } else if (auto s = reader.skip_data(h.filesize); !s) {
      return std::unexpected(s.error());
    }
    entries.push_back(std::move(e));
    return true;
  });
  if (!r) return std::unexpected(r.error());
  return entries;
}

std::expected<std::vector<uint8_t>, PbzxError> find_file(std::span<const uint8_t> archive, std::string_view name) {
  std::optional<std::expected<std::vector<uint8_t>, PbzxError>> found;
  auto r = for_each_entry(archive, [&](const CpioHeader& h, CpioReader& reader) -> std::expected<bool, PbzxError> {
    if (h.name != name) {
      if (auto s = reader.skip_data(h.filesize); !s) return std::unexpected(s.error());
      return true;
    }
    if (h.is_dir()) {
      found = std::unexpected(PbzxError::invalid_path(fmt::format("'{}' is a directory", name)));
      return false;
    }
    auto data = reader.read_data(h.filesize);
    if (!data) return std::unexpected(data.error());
    found = std::vector<uint8_t>(data->begin(), data->end());
    return false;
  });
  if (!r) return std::unexpected(r.error());
  if (!found) return std::unexpected(PbzxError::file_not_found(std::string(name)));
  return std::move(*found);
}

std::expected<ExtractStats, PbzxError> extract_tree(std::span<const uint8_t> archive, std::string_view base,
                                                    const std::string& dest, const ExtractOptions& options) {
  std::string prefix = normalize_entry_path(base);
  while (prefix.ends_with("/")) prefix.pop_back();
  const auto groups = link_group_data(archive);
  auto out = TreeExtractor::open(dest, options, groups.file_bytes);
  if (!out) return std::unexpected(PbzxError(out.error()));

  auto r = for_each_entry(archive, [&](const CpioHeader& h, CpioReader& reader) -> std::expected<bool, PbzxError> {
    auto skip = [&]() -> std::expected<bool, PbzxError> {
      if (auto s = reader.skip_data(h.filesize); !s) return std::unexpected(s.error());
      return true;
    };
    std::string n = normalize_entry_path(h.name);
    std::string rel;
    if (!prefix.empty()) {
      if (n != prefix && !n.starts_with(prefix + "/")) return skip();
      rel = n == prefix ? std::string() : n.substr(prefix.size() + 1);
      if (rel.empty()) {  // the base itself: a directory is not written, anything else under its own name
        if (h.is_dir()) {
          out->count_base_directory();
          return skip();
        }
        rel = n.substr(n.rfind('/') + 1);
      }
    } else {
      if (n.empty()) return skip();
      rel = n;
    }
    auto valid = validate_relative_path(rel);
    if (!valid) return std::unexpected(valid.error());
    std::string target = plain_components(*valid);
    if (target.empty()) return skip();
    // Every selected entry gets its parent directories, whatever its type.
    if (std::string parent = parent_of(target); !parent.empty()) {
      if (auto m = out->directory_chain(parent); !m) return std::unexpected(tree_error(m.error(), *valid));
    }
    const EntryAttributes attributes{static_cast<uint16_t>(h.mode & 07777), static_cast<int64_t>(h.mtime)};
    if (h.is_dir()) {
      if (auto m = out->directory(target, attributes); !m) return std::unexpected(tree_error(m.error(), *valid));
      return skip();
    }
    if (h.is_symlink()) {
      auto data = reader.read_data(h.filesize);
      if (!data) return std::unexpected(data.error());
      if (auto m = out->symlink(target, text_of(*data)); !m) return std::unexpected(tree_error(m.error(), *valid));
      return true;
    }
    if (!h.is_file()) return skip();
    auto data = reader.read_data(h.filesize);
    if (!data) return std::unexpected(data.error());
    std::span<const uint8_t> content = *data;
    // An empty earlier link of a hard-link group gets the group's data.
    if (h.filesize == 0 && h.nlink > 1 && stores_link_data_once(h.format)) {
      auto it = groups.data.find({h.devmajor, h.devminor, h.ino});
      if (it != groups.data.end()) content = it->second;
    }
    if (auto w = out->file(target, content, attributes); !w) return std::unexpected(tree_error(w.error(), *valid));
    return true;
  });
  if (!r) return std::unexpected(r.error());
  if (auto f = out->finish(); !f) return std::unexpected(tree_error(f.error(), ""));
  return out->stats();
}

}  // namespace tev::pbzx
