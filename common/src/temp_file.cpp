#include "tev/common/temp_file.h"

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <string>

#include "tev/common/byte_sink.h"

namespace tev {
namespace {

std::string temp_directory() {
  std::error_code ec;
  auto dir = std::filesystem::temp_directory_path(ec);
  return ec ? std::string("/tmp") : dir.string();
}

}  // namespace

std::expected<TempFile, IoError> TempFile::create() {
  const std::string dir = temp_directory();
  int fd = ::open(dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (fd >= 0) return TempFile(UniqueFd(fd));
  // File systems without O_TMPFILE: make a named file and unlink it at once.
  std::string pattern = dir + "/tev-XXXXXX";
  fd = ::mkostemp(pattern.data(), O_CLOEXEC);
  if (fd < 0) return std::unexpected(IoError::from_errno(errno));
  ::unlink(pattern.c_str());
  return TempFile(UniqueFd(fd));
}

std::expected<FileSink, IoError> TempFile::writer() const {
  int copy = ::fcntl(fd_.get(), F_DUPFD_CLOEXEC, 0);
  if (copy < 0) return std::unexpected(IoError::from_errno(errno));
  return FileSink(UniqueFd(copy));
}

}  // namespace tev
