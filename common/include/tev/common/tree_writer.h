#pragma once

#include <expected>
#include <span>
#include <string>
#include <string_view>

#include "tev/common/byte_sink.h"
#include "tev/common/io_error.h"
#include "tev/common/unique_fd.h"

namespace tev {

struct TreeWriteError {
  enum class Kind {
    Io,          // the host refused an operation
    LinkInPath,  // a symbolic link stands where a directory or file would go
    BadPath,     // an empty, ".", ".." or absolute component reached the writer
  };
  Kind kind;
  IoError io;        // set for Io
  std::string path;  // the relative path being written
};

// Writes an extracted tree strictly below one destination directory. Paths are
// relative, '/'-separated and already checked by the format's own rules; the
// writer checks again and, walking down from the destination one component at
// a time, never follows a symbolic link, whoever put it there. A writer is
// used by one thread at a time: it keeps the last directory it opened.
class TreeWriter {
 public:
  // Creates the destination (with its parents) if needed and opens it.
  static std::expected<TreeWriter, IoError> open(const std::string& dest);

  // Creates every missing directory of the path.
  std::expected<void, TreeWriteError> make_dirs(std::string_view path);
  // Creates the parent directories and creates or truncates the file.
  std::expected<FileSink, TreeWriteError> create_file(std::string_view path);
  // Creates a symbolic link as stored (whatever it points to: the writer
  // never follows it later), replacing a file or link already there.
  std::expected<void, TreeWriteError> create_symlink(std::string_view path, std::string_view target);
  // Gives an existing directory its attributes.
  std::expected<void, TreeWriteError> set_dir_attributes(std::string_view path, const FileAttributes& attributes);
  // create_file, then write all the bytes and close the file.
  std::expected<void, TreeWriteError> write_file(std::string_view path,
                                                 std::span<const uint8_t> bytes);

 private:
  explicit TreeWriter(UniqueFd root) : root_(std::move(root)) {}
  // The directory at `path`, created as needed; the descriptor stays owned
  // by the writer (the last one opened is kept, as entries of one directory
  // tend to come together).
  std::expected<int, TreeWriteError> open_dir(std::string_view path, std::string_view full_path);

  UniqueFd root_;
  std::string cached_path_;
  UniqueFd cached_dir_;
};

}  // namespace tev
