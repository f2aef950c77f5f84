#include "tev/common/byte_sink.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace tev {

std::expected<void, IoError> apply_attributes(int fd, const FileAttributes& attributes) {
  if (attributes.mode && ::fchmod(fd, static_cast<mode_t>(*attributes.mode & 0777)) != 0)
    return std::unexpected(IoError::from_errno(errno));
  if (attributes.mtime) {
    struct timespec times[2];
    times[0].tv_sec = 0;
    times[0].tv_nsec = UTIME_OMIT;
    times[1].tv_sec = static_cast<time_t>(*attributes.mtime);
    times[1].tv_nsec = 0;
    if (::futimens(fd, times) != 0) return std::unexpected(IoError::from_errno(errno));
  }
  return {};
}

std::expected<void, IoError> VectorSink::write(std::span<const uint8_t> bytes) {
  out_->insert(out_->end(), bytes.begin(), bytes.end());
  return {};
}

std::expected<FileSink, IoError> FileSink::create(const std::string& path) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return std::unexpected(IoError::from_errno(errno));
  return FileSink(UniqueFd(fd));
}

FileSink::FileSink(UniqueFd fd) : fd_(std::move(fd)) {}

FileSink::~FileSink() {
  if (fd_.valid()) (void)flush();
}

std::expected<void, IoError> FileSink::write(std::span<const uint8_t> bytes) {
  if (!fd_.valid()) return std::unexpected(IoError::from_errno(EBADF));
  written_ += bytes.size();
  // Large writes go straight to the file; the buffer is made on first need
  // (an extractor opens many files that each take one write).
  if (buffer_.empty() && bytes.size() >= kBufferSize) return write_all(bytes);
  if (buffer_.capacity() == 0) buffer_.reserve(kBufferSize);
  if (buffer_.size() + bytes.size() <= kBufferSize) {
    buffer_.insert(buffer_.end(), bytes.begin(), bytes.end());
    return {};
  }
  if (auto r = flush(); !r) return r;
  if (bytes.size() >= kBufferSize) return write_all(bytes);
  buffer_.insert(buffer_.end(), bytes.begin(), bytes.end());
  return {};
}

std::expected<void, IoError> FileSink::write_through(std::span<const uint8_t> bytes) {
  if (!fd_.valid()) return std::unexpected(IoError::from_errno(EBADF));
  if (!buffer_.empty())
    if (auto r = flush(); !r) return r;
  written_ += bytes.size();
  return write_all(bytes);
}

std::expected<void, IoError> FileSink::flush() {
  auto r = write_all(buffer_);
  buffer_.clear();
  return r;
}

std::expected<void, IoError> FileSink::finish() {
  if (!fd_.valid()) return std::unexpected(IoError::from_errno(EBADF));
  auto r = flush();
  int fd = fd_.release();
  if (::close(fd) != 0 && r) r = std::unexpected(IoError::from_errno(errno));
  return r;
}

std::expected<void, IoError> FileSink::set_attributes(const FileAttributes& attributes) {
  if (!fd_.valid()) return std::unexpected(IoError::from_errno(EBADF));
  if (auto r = flush(); !r) return r;
  return apply_attributes(fd_.get(), attributes);
}

std::expected<void, IoError> FileSink::write_all(std::span<const uint8_t> bytes) {
  while (!bytes.empty()) {
    ssize_t n = ::write(fd_.get(), bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return std::unexpected(IoError::from_errno(errno));
    }
    bytes = bytes.subspan(static_cast<size_t>(n));
  }
  return {};
}

}  // namespace tev
