#include "tev/common/tree_writer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

#include "tev/common/path.h"

namespace tev {
namespace {

constexpr mode_t kDirMode = 0755;
constexpr mode_t kFileMode = 0644;

TreeWriteError io_error(int code, std::string_view path) {
  return {TreeWriteError::Kind::Io, IoError::from_errno(code), std::string(path)};
}

TreeWriteError error_of(TreeWriteError::Kind kind, std::string_view path) {
  return {kind, IoError::other(""), std::string(path)};
}

bool is_symlink_at(int dir, const std::string& name) {
  struct stat st {};
  return ::fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode);
}

// The failure of an open that refused to follow a link, or failed otherwise.
TreeWriteError open_failure(int code, int dir, const std::string& name, std::string_view path) {
  if ((code == ELOOP || code == ENOTDIR) && is_symlink_at(dir, name))
    return error_of(TreeWriteError::Kind::LinkInPath, path);
  return io_error(code, path);
}

// A NUL would cut the name short at the system call, so it is refused.
bool is_plain_component(std::string_view part) {
  return !part.empty() && part != "." && part != ".." && part.find('\0') == std::string_view::npos;
}

// Splits off the last component: {"a/b", "c"} for "a/b/c", {"", "c"} for "c".
std::pair<std::string_view, std::string_view> split_last(std::string_view path) {
  size_t slash = path.rfind('/');
  if (slash == std::string_view::npos) return {std::string_view(), path};
  return {path.substr(0, slash), path.substr(slash + 1)};
}

}  // namespace

std::expected<TreeWriter, IoError> TreeWriter::open(const std::string& dest) {
  std::error_code ec;
  std::filesystem::create_directories(dest, ec);
  if (ec) return std::unexpected(IoError::from_errno(ec.value()));
  int fd = ::open(dest.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return std::unexpected(IoError::from_errno(errno));
  return TreeWriter(UniqueFd(fd));
}

std::expected<int, TreeWriteError> TreeWriter::open_dir(std::string_view path, std::string_view full_path) {
  if (!path.empty() && path.front() == '/')
    return std::unexpected(error_of(TreeWriteError::Kind::BadPath, full_path));
  if (path.empty()) return root_.get();
  if (cached_dir_.valid() && path == cached_path_) return cached_dir_.get();
  cached_dir_.reset();
  cached_path_.clear();
  // Walk down from the destination one component at a time, never following
  // a link. The descriptor of an opened directory stays valid whatever is
  // done to its name later, so nothing can be redirected mid-walk.
  UniqueFd current;
  int at = root_.get();
  for (std::string_view part : split_path(path)) {
    std::string name(part);
    if (!is_plain_component(name))
      return std::unexpected(error_of(TreeWriteError::Kind::BadPath, full_path));
    constexpr int kFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
    int fd = ::openat(at, name.c_str(), kFlags);
    if (fd < 0 && errno == ENOENT) {
      if (::mkdirat(at, name.c_str(), kDirMode) != 0 && errno != EEXIST)
        return std::unexpected(io_error(errno, full_path));
      fd = ::openat(at, name.c_str(), kFlags);
    }
    if (fd < 0) return std::unexpected(open_failure(errno, at, name, full_path));
    current = UniqueFd(fd);
    at = current.get();
  }
  cached_path_ = std::string(path);
  cached_dir_ = std::move(current);
  return cached_dir_.get();
}

std::expected<void, TreeWriteError> TreeWriter::make_dirs(std::string_view path) {
  if (path.empty()) return std::unexpected(error_of(TreeWriteError::Kind::BadPath, path));
  auto dir = open_dir(path, path);
  if (!dir) return std::unexpected(dir.error());
  return {};
}

std::expected<FileSink, TreeWriteError> TreeWriter::create_file(std::string_view path) {
  auto [parent, name] = split_last(path);
  if (!is_plain_component(name) || (parent.empty() && path.front() == '/'))
    return std::unexpected(error_of(TreeWriteError::Kind::BadPath, path));
  auto dir = open_dir(parent, path);
  if (!dir) return std::unexpected(dir.error());
  std::string file(name);
  int fd = ::openat(*dir, file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, kFileMode);
  if (fd < 0) return std::unexpected(open_failure(errno, *dir, file, path));
  return FileSink(UniqueFd(fd));
}

std::expected<void, TreeWriteError> TreeWriter::create_symlink(std::string_view path, std::string_view target) {
  auto [parent, name] = split_last(path);
  if (!is_plain_component(name) || (parent.empty() && path.front() == '/') || target.find('\0') != std::string_view::npos)
    return std::unexpected(error_of(TreeWriteError::Kind::BadPath, path));
  auto dir = open_dir(parent, path);
  if (!dir) return std::unexpected(dir.error());
  std::string link(name);
  std::string to(target);
  if (::symlinkat(to.c_str(), *dir, link.c_str()) == 0) return {};
  if (errno != EEXIST) return std::unexpected(io_error(errno, path));
  // unlinkat without AT_REMOVEDIR leaves a directory in place (and fails).
  if (::unlinkat(*dir, link.c_str(), 0) != 0 || ::symlinkat(to.c_str(), *dir, link.c_str()) != 0)
    return std::unexpected(io_error(errno, path));
  return {};
}

std::expected<void, TreeWriteError> TreeWriter::set_dir_attributes(std::string_view path, const FileAttributes& attributes) {
  auto dir = open_dir(path, path);
  if (!dir) return std::unexpected(dir.error());
  if (auto r = apply_attributes(*dir, attributes); !r)
    return std::unexpected(TreeWriteError{TreeWriteError::Kind::Io, r.error(), std::string(path)});
  return {};
}

std::expected<void, TreeWriteError> TreeWriter::write_file(std::string_view path,
                                                           std::span<const uint8_t> bytes) {
  auto sink = create_file(path);
  if (!sink) return std::unexpected(sink.error());
  auto fail = [&](IoError e) { return TreeWriteError{TreeWriteError::Kind::Io, std::move(e), std::string(path)}; };
  // One write from the caller's bytes: no buffer to allocate and fill per file.
  if (auto r = sink->write_through(bytes); !r) return std::unexpected(fail(r.error()));
  if (auto r = sink->finish(); !r) return std::unexpected(fail(r.error()));
  return {};
}

}  // namespace tev
