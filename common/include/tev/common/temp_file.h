#pragma once

#include <expected>

#include "tev/common/io_error.h"
#include "tev/common/unique_fd.h"

namespace tev {

class FileSink;

// An anonymous read-write file in the system's temporary directory. It has no
// name, so the operating system deletes it when its last descriptor closes.
class TempFile {
 public:
  static std::expected<TempFile, IoError> create();

  int fd() const { return fd_.get(); }
  // A buffered writer appending to the file through its own descriptor.
  std::expected<FileSink, IoError> writer() const;
  UniqueFd release() && { return std::move(fd_); }

 private:
  explicit TempFile(UniqueFd fd) : fd_(std::move(fd)) {}
  UniqueFd fd_;
};

}  // namespace tev
